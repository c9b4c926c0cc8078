#include "update/RestartWatch.h"

#include <vector>

#include "update/kyfirmwareupdate.h"

namespace ky {

namespace {

enum class Seen { Absent, Present, Identified };

// The Ky with `guid` as the bus shows it now and, with `identify`, its
// versions. A Ky that is back but cannot be read yet (udev has not run) is
// only present: it is read again at the next look.
Seen Look(FWLib::Bus& bus, UInt64 guid, bool identify, std::string& versions) {
    std::vector<FWLib::io_service_t> services;
    const FWLib::MatchingDictionary match{DownloadUnit::kFirmwareUpdateUnitSpecID,
                                          DownloadUnit::kFirmwareUpdateUnitSWVersion};
    if (bus.GetMatchingServices(match, services) != kIOReturnSuccess) return Seen::Present;
    for (const auto& service : services) {
        if (service->Info().guid != guid) continue;
        if (!identify) return Seen::Present;
        try {
            DownloadUnit unit(service);
            KyInfo info;
            const KyCheck check = IdentifyKy(unit, info);
            if (check != KyCheck::Accepted && check != KyCheck::WrongProduct) return Seen::Present;
            versions = VersionText(info.MCOREver, info.XilinxVer);
            return Seen::Identified;
        } catch (const FWLib::DeviceError&) {
            return Seen::Present;
        }
    }
    return Seen::Absent;
}

// Sleeps one poll in short steps, so that a stop is seen at once.
void Pause(Clock& clock, std::uint64_t micros, const std::function<bool()>& stop) {
    constexpr std::uint64_t kStep = 50'000;
    for (std::uint64_t slept = 0; slept < micros && !stop(); slept += kStep)
        clock.SleepMicros(std::min(kStep, micros - slept));
}

}  // namespace

RestartResult FollowRestart(FWLib::Bus& bus, UInt64 guid, const std::string& expected,
                            const RestartLimits& limits, Clock& clock,
                            const std::function<bool()>& stop) {
    RestartResult r;
    const std::uint64_t start = clock.NowMicros();
    std::uint64_t leftAt = start;
    for (;;) {
        const std::uint64_t now = clock.NowMicros();
        r.waitedMicros = now - start;
        r.awayMicros = r.left ? now - leftAt : 0;
        if (stop()) return r.ending = RestartEnding::Stopped, r;
        const Seen seen = Look(bus, guid, r.left, r.versions);
        if (!r.left && seen == Seen::Absent) {
            r.left = true;
            leftAt = now;
        } else if (r.left && seen == Seen::Identified) {
            r.ending =
                r.versions == expected ? RestartEnding::Confirmed : RestartEnding::OldFirmware;
            return r;
        } else if (now - (r.left ? leftAt : start) >= limits.waitMicros) {
            r.ending = r.left ? RestartEnding::NeverBack : RestartEnding::NeverLeft;
            return r;
        }
        Pause(clock, limits.pollMicros, stop);
    }
}

std::string RestartText(const RestartResult& r, const std::string& expected,
                        const RestartLimits& limits, bool& exitFailure) {
    const auto minutes = [](std::uint64_t micros) {
        const std::uint64_t m = (micros + 30'000'000) / 60'000'000;
        return m < 1 ? std::string("less than a minute")
                     : std::to_string(m) + (m == 1 ? " minute" : " minutes");
    };
    exitFailure = r.ending == RestartEnding::OldFirmware || r.ending == RestartEnding::NeverBack ||
                  (r.ending == RestartEnding::Stopped && r.left);
    switch (r.ending) {
        case RestartEnding::Confirmed:
            return "The Ky now runs firmware " + expected + ".";
        case RestartEnding::OldFirmware:
            return "The Ky came back with firmware " + r.versions + ", not " + expected +
                   ": the new firmware did not start. Leave it connected and run `kyfw update` "
                   "again; if it comes back with " +
                   r.versions + " once more, the Ky needs service.";
        case RestartEnding::NeverBack:
            return "The Ky left the bus " + minutes(r.awayMicros) +
                   " ago and has not come back. Check that it is switched on and that its cable "
                   "is plugged in; `kyfw list` shows it once it is back. If it stays away, the "
                   "new firmware does not start and the Ky needs service.";
        case RestartEnding::NeverLeft:
            return "The Ky was not switched off within " + minutes(limits.waitMicros) +
                   "; the new firmware starts when it is. Run `kyfw list` after switching it off "
                   "and on.";
        case RestartEnding::Stopped:
            break;
    }
    return r.left ? "Stopped waiting: the Ky left the bus and had not come back. Run `kyfw list` "
                    "once it is switched on again."
                  : "Stopped waiting: the restart is not confirmed. Run `kyfw list` after "
                    "switching the Ky off and on.";
}

}  // namespace ky
