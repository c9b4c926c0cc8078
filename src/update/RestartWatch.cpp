#include "update/RestartWatch.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "update/KyIdentity.h"
#include "update/UpdateWording.h"

namespace ky {

namespace {

enum class Seen { Absent, Present, Identified };

// What one look saw of a Ky: its versions once it is identified.
struct Sighting {
    Seen seen = Seen::Present;
    std::string versions;
};

// The Ky with `guid` among `units` and, with `identify`, its versions.
// A Ky that is back but cannot be read yet (udev has not run) is only
// present: it is read again at the next look.
Sighting Look(const std::vector<FWLib::io_service_t>& units, UInt64 guid, bool identify,
              const Trace& trace) {
    const FWLib::io_service_t unit = KyWithGuid(units, guid);
    if (!unit) return {Seen::Absent, {}};
    if (!identify) return {Seen::Present, {}};
    const FoundKy ky = IdentifyUnit(unit, trace);
    if (!ky.VersionsKnown()) return {Seen::Present, {}};
    return {Seen::Identified, VersionText(ky.info.MCOREver, ky.info.XilinxVer)};
}

// Sleeps one poll in short steps, so that a stop is seen at once.
void Pause(Clock& clock, std::uint64_t micros, const std::function<bool()>& stop) {
    constexpr std::uint64_t kStep = 50'000;
    for (std::uint64_t slept = 0; slept < micros && !stop(); slept += kStep)
        clock.SleepMicros(std::min(kStep, micros - slept));
}

// One Ky's restart, one look at a time; true once it has ended.
struct Follower {
    UInt64 guid;
    RestartResult r;
    std::uint64_t leftAt = 0;
    bool ended = false;

    // `services` is null when the bus could not be looked at.
    void Step(const std::vector<FWLib::io_service_t>* services, std::uint64_t start,
              std::uint64_t now, const std::string& expected, std::uint64_t limit,
              const Trace& trace) {
        r.waitedMicros = now - start;
        r.awayMicros = r.left ? now - leftAt : 0;
        const Sighting sighting = services ? Look(*services, guid, r.left, trace) : Sighting{};
        if (!r.left && sighting.seen == Seen::Absent) {
            r.left = true;
            leftAt = now;
        } else if (r.left && sighting.seen == Seen::Identified) {
            r.versions = sighting.versions;
            r.ending =
                r.versions == expected ? RestartEnding::Confirmed : RestartEnding::OldFirmware;
            ended = true;
        } else if (now - (r.left ? leftAt : start) >= limit) {
            r.ending = r.left ? RestartEnding::NeverBack : RestartEnding::NeverLeft;
            ended = true;
        }
    }
};

}  // namespace

std::vector<RestartResult> FollowRestarts(FWLib::Bus& bus, const std::vector<UInt64>& guids,
                                          const std::string& expected, const RestartLimits& limits,
                                          Clock& clock, const std::function<bool()>& stop,
                                          Trace trace, const RestartLooked& looked) {
    std::vector<Follower> kys;
    for (UInt64 guid : guids) kys.push_back({guid, {}});
    const std::uint64_t start = clock.NowMicros();
    // A stop is looked for only between a pause and the next look: a
    // recorded run and its replay then end at the same call, whichever of
    // the pause's checks saw the stop (the recording keeps only the first yes).
    for (bool first = true;; first = false) {
        if (!first) Pause(clock, limits.pollMicros, stop);
        if (stop()) {
            for (auto& ky : kys)
                if (!ky.ended) ky.r.ending = RestartEnding::Stopped, ky.ended = true;
            break;
        }
        const std::uint64_t now = clock.NowMicros();
        const auto units = FindKyUnits(bus);
        bool waiting = false;
        for (std::size_t i = 0; i < kys.size(); ++i) {
            auto& ky = kys[i];
            if (!ky.ended)
                ky.Step(units ? &*units : nullptr, start, now, expected, limits.waitMicros, trace);
            if (looked) looked(i, ky.r);
            waiting = waiting || !ky.ended;
        }
        if (!waiting) break;
    }
    std::vector<RestartResult> results;
    for (const auto& ky : kys) results.push_back(ky.r);
    return results;
}

bool RestartFailed(const RestartResult& r) {
    return r.ending == RestartEnding::OldFirmware || r.ending == RestartEnding::NeverBack ||
           (r.ending == RestartEnding::Stopped && r.left);
}

std::string RestartText(const RestartResult& r, const std::string& expected,
                        const RestartLimits& limits) {
    // Seconds under two minutes, whole minutes above.
    const auto minutes = [](std::uint64_t micros) {
        const std::uint64_t s = (micros + 500'000) / 1'000'000,
                            m = (micros + 30'000'000) / 60'000'000;
        if (s < 120) return Fill(TrN("{1} second", "{1} seconds", s), {std::to_string(s)});
        return Fill(TrN("{1} minute", "{1} minutes", m), {std::to_string(m)});
    };
    switch (r.ending) {
        case RestartEnding::Confirmed:
            return Fill(Tr("The Ky now runs firmware {1}."), {expected});
        case RestartEnding::OldFirmware:
            // TRANSLATORS: {1} and {3} are the versions the Ky came back with, {2} the new ones.
            return Fill(Tr("The Ky came back with firmware {1}, not {2}: the new firmware did not "
                           "start. Leave it connected and run `kyfw update` again; if it comes "
                           "back with {3} once more, the Ky needs service."),
                        {r.versions, expected, r.versions});
        case RestartEnding::NeverBack:
            // TRANSLATORS: {1} is a time, as "40 seconds" or "3 minutes".
            return Fill(Tr("The Ky left the bus {1} ago and has not come back. Check that it is "
                           "switched on and that its cable is plugged in; `kyfw list` shows it "
                           "once it is back. If it stays away, the new firmware does not start "
                           "and the Ky needs service."),
                        {minutes(r.awayMicros)});
        case RestartEnding::NeverLeft:
            // TRANSLATORS: {1} is a time, as "40 seconds" or "3 minutes".
            return Fill(Tr("The Ky was not switched off within {1}; the new firmware starts when "
                           "it is. Run `kyfw list` after switching it off and on."),
                        {minutes(limits.waitMicros)});
        case RestartEnding::Stopped:
            break;
    }
    return r.left ? Tr("Stopped waiting: the Ky left the bus and had not come back. Run `kyfw "
                       "list` once it is switched on again.")
                  : Tr("Stopped waiting: the restart is not confirmed. Run `kyfw list` after "
                       "switching the Ky off and on.");
}

struct RestartFollower::Shared {
    std::mutex mutex;
    std::condition_variable ended;
    std::atomic<bool> stop = false;
    std::atomic<bool> left = false;  // as the last finished look found the Ky
    std::optional<RestartResult> result;
};

RestartFollower::RestartFollower(std::shared_ptr<FWLib::Bus> bus, UInt64 guid, std::string expected,
                                 const RestartLimits& limits, Clock& clock, Trace trace)
    : mShared(std::make_shared<Shared>()) {
    mThread = std::thread([shared = mShared, bus = std::move(bus), guid,
                           expected = std::move(expected), limits, &clock, trace] {
        const auto stop = [&shared] { return shared->stop.load(); };
        const RestartResult r = FollowRestarts(*bus, {guid}, expected, limits, clock, stop, trace,
                                               [&shared](std::size_t, const RestartResult& sofar) {
                                                   shared->left = sofar.left;
                                               })
                                    .front();
        std::lock_guard lock(shared->mutex);
        shared->result = r;
        shared->ended.notify_all();
    });
}

RestartFollower::~RestartFollower() {
    if (mThread.joinable()) Stop();
}

std::optional<RestartResult> RestartFollower::Ended() const {
    std::lock_guard lock(mShared->mutex);
    return mShared->result;
}

RestartResult RestartFollower::Stop() {
    std::unique_lock lock(mShared->mutex);
    mShared->stop = true;
    mShared->ended.wait_for(lock, std::chrono::milliseconds(500),
                            [this] { return mShared->result.has_value(); });
    const auto result = mShared->result;
    lock.unlock();
    if (mThread.joinable()) result ? mThread.join() : mThread.detach();
    if (result) return *result;
    // A look under way ends on its own: reading a Ky that is back may take
    // seconds, and a busy machine may hold up any look. A Ky that had left
    // counts as not back; one that had not left is not said to have.
    RestartResult unfinished;
    unfinished.ending = RestartEnding::Stopped;
    unfinished.left = mShared->left;
    return unfinished;
}

}  // namespace ky
