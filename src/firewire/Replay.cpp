#include "firewire/Replay.h"

#include "base/Translate.h"
#include "firewire/Recording.h"

#include <atomic>
#include <charconv>
#include <deque>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

namespace FWLib {

namespace {

using nlohmann::json;

// The recording is matched stream by stream: each unit's calls in that
// unit's own order, and the calls of no unit (discovery, survey, the
// restart's) in theirs, however the streams of several units interleave.
class Replay final : public ReplayBus, public std::enable_shared_from_this<Replay> {
public:
    Replay(std::vector<RecordedEvent> events, bool timing, int version)
        : mEvents(std::move(events)), mTiming(timing), mVersion(version) {
        for (const auto& e : mEvents) mStreams[e.unit].push_back(&e);
    }

    // The next recorded event of the stream of the call `made` if it is
    // that call; null (and the replay stopped) otherwise.
    const RecordedEvent* Take(const RecordedEvent& made) {
        const RecordedEvent* next = nullptr;
        {
            std::lock_guard lock(mMutex);
            if (!mMismatch.empty()) return nullptr;
            next = Next(made.unit);
            if (!next || !Same(*next, made)) {
                Differs(next ? next : Earliest(), DescribeCall(made));
                return nullptr;
            }
            mStreams[made.unit].pop_front();
        }
        if (mTiming) std::this_thread::sleep_for(std::chrono::microseconds(next->micros));
        return next;
    }

    IOReturn GetMatchingServices(const MatchingDictionary&,
                                 std::vector<io_service_t>& services) override;
    BusSurvey Survey() override {
        RecordedEvent made;
        made.ev = "survey";
        const RecordedEvent* e = Take(made);
        return e ? BusSurvey{e->controller, e->units} : BusSurvey{};
    }
    ky::Done Finish() override {
        std::lock_guard lock(mMutex);
        if (mMismatch.empty() && Earliest())
            Differs(Earliest(),
                    NothingMore() + (mVersion < 2
                                         ? "\n  " + std::string(ky::Tr(
                                                        "A recording of format version 1 does not "
                                                        "say that its run waited for the Ky's "
                                                        "restart: a restart it holds is not "
                                                        "replayed."))
                                         : ""));
        if (!mMismatch.empty()) return ky::Error(mMismatch);
        return {};
    }
    bool Differs() const override {
        std::lock_guard lock(mMutex);
        return !mMismatch.empty();
    }
    std::optional<unsigned> RecordedWait() override {
        std::lock_guard lock(mMutex);
        if (!NextIs("restart")) return std::nullopt;
        return Next("")->waitSeconds;
    }
    ky::RestartWait ReplayRestart() override;
    // Whether the recorded user has stopped the wait by now; a replay that
    // differs stops it too: nothing more is answered.
    bool Stopped() {
        if (!mStopped && StopIsNext()) {
            RecordedEvent made;
            made.ev = "stop";
            mStopped = Take(made) != nullptr;
        }
        std::lock_guard lock(mMutex);
        return mStopped || !mMismatch.empty();
    }

private:
    bool StopIsNext() {
        std::lock_guard lock(mMutex);
        return NextIs("stop");
    }
    // Under the lock: the next unmatched event of a unit's stream.
    const RecordedEvent* Next(const std::string& unit) const {
        const auto it = mStreams.find(unit);
        return it == mStreams.end() || it->second.empty() ? nullptr : it->second.front();
    }
    // Under the lock: the first unmatched event of any stream.
    const RecordedEvent* Earliest() const {
        const RecordedEvent* first = nullptr;
        for (const auto& [unit, stream] : mStreams)
            if (!stream.empty() && (!first || stream.front()->line < first->line))
                first = stream.front();
        return first;
    }
    bool NextIs(const char* ev) const {
        const RecordedEvent* next = Next("");
        return mMismatch.empty() && next && next->ev == ev;
    }
    // The calls are described as the recording has them, in English.
    void Differs(const RecordedEvent* recorded, const std::string& made) {
        if (recorded)
            mMismatch = ky::Fill(
                // TRANSLATORS: {2} is the call the recording holds, {3} the call the program
                // made, as "qread 0x000000000010 len 4 on sim0.0".
                ky::Tr("the replay differs from the recording at line {1}:\n"
                       "  recorded: {2}\n"
                       "  made:     {3}"),
                {std::to_string(recorded->line), DescribeCall(*recorded), made});
        else
            mMismatch = ky::Fill(
                // TRANSLATORS: {1} is "(nothing more)", {2} the call the program made.
                ky::Tr("the replay differs from the recording after its end:\n"
                       "  recorded: {1}\n"
                       "  made:     {2}"),
                {NothingMore(), made});
    }
    static std::string NothingMore() {
        // TRANSLATORS: in place of a call, where the recording holds no more.
        return ky::Tr("(nothing more)");
    }
    static bool Same(const RecordedEvent& r, const RecordedEvent& m) {
        if (r.ev != m.ev || r.unit != m.unit) return false;
        if (r.ev != "request") return true;
        return r.kind == m.kind && r.addr == m.addr && r.length == m.length && r.data == m.data &&
               r.fnv1a == m.fnv1a;
    }

    mutable std::mutex mMutex;
    const std::vector<RecordedEvent> mEvents;
    std::map<std::string, std::deque<const RecordedEvent*>> mStreams;  // by unit, "" for none
    bool mTiming;
    int mVersion;
    std::string mMismatch;
    std::atomic<bool> mStopped = false;
};

// The clock of a replayed wait for a restart: each reading is the recorded
// one, and its pauses take no time.
class ReplayClock final : public ky::Clock {
public:
    explicit ReplayClock(std::shared_ptr<Replay> replay) : mReplay(std::move(replay)) {}
    std::uint64_t NowMicros() const override {
        RecordedEvent made;
        made.ev = "clock";
        if (const RecordedEvent* e = mReplay->Take(made)) mLast = e->clock;
        return mLast;
    }
    void SleepMicros(std::uint64_t) override {}

private:
    std::shared_ptr<Replay> mReplay;
    mutable std::uint64_t mLast = 0;
};

ky::RestartWait Replay::ReplayRestart() {
    RecordedEvent made;
    made.ev = "restart";
    const RecordedEvent* e = Take(made);
    auto self = shared_from_this();
    return {e ? e->waitSeconds : 1u, std::make_shared<ReplayClock>(self),
            [self] { return self->Stopped(); }};
}

constexpr IOReturn kStopped = kIOReturnNotResponding;

class ReplayDevice final : public DeviceInterface {
public:
    ReplayDevice(std::shared_ptr<Replay> replay, std::string unit)
        : mReplay(std::move(replay)), mUnit(std::move(unit)) {}
    UInt32 GetDevice() const override { return 1; }
    IOReturn Open() override { return Simple("open"); }
    void Close() override { Simple("close"); }
    IOReturn GetBusGeneration(UInt32& generation) override {
        RecordedEvent made;
        made.ev = "generation";
        made.unit = mUnit;
        const RecordedEvent* e = mReplay->Take(made);
        if (!e) return kStopped;
        generation = e->generation;
        return e->status;
    }
    IOReturn Read(UInt32, const FWAddressStruct& addr, void* buf, UInt32& size, bool,
                  UInt32) override {
        return Request("bread", addr, size, nullptr, static_cast<UInt8*>(buf), &size);
    }
    IOReturn Write(UInt32, const FWAddressStruct& addr, const void* buf, UInt32& size, bool,
                   UInt32) override {
        return Request("bwrite", addr, size, static_cast<const UInt8*>(buf), nullptr, nullptr);
    }
    IOReturn ReadQuadlet(UInt32, const FWAddressStruct& addr, Quadlet& value, bool,
                         UInt32) override {
        return Request("qread", addr, 4, nullptr, value.data(), nullptr);
    }
    IOReturn WriteQuadlet(UInt32, const FWAddressStruct& addr, const Quadlet& value, bool,
                          UInt32) override {
        return Request("qwrite", addr, 4, value.data(), nullptr, nullptr);
    }

private:
    IOReturn Simple(const char* ev) {
        RecordedEvent made;
        made.ev = ev;
        made.unit = mUnit;
        const RecordedEvent* e = mReplay->Take(made);
        return e ? e->status : kStopped;
    }
    IOReturn Request(const char* kind, const FWAddressStruct& addr, UInt32 length, const UInt8* out,
                     UInt8* in, UInt32* got) {
        RecordedEvent made;
        made.ev = "request";
        made.unit = mUnit;
        made.kind = kind;
        made.addr = addr.Offset();
        made.length = length;
        if (out && length > kLiteralBlockBytes) made.fnv1a = ImageHash(out, length);
        if (out && length <= kLiteralBlockBytes) made.data = HexText(out, length);
        const RecordedEvent* e = mReplay->Take(made);
        if (!e) return kStopped;
        if (in && e->status == kIOReturnSuccess) {
            const std::size_t n = std::min<std::size_t>(e->reply.size(), length);
            std::copy(e->reply.begin(), e->reply.begin() + static_cast<long>(n), in);
            if (got) *got = static_cast<UInt32>(n);
        }
        return e->status;
    }

    std::shared_ptr<Replay> mReplay;
    std::string mUnit;
};

class ReplayPlugIn final : public PlugInInterface {
public:
    ReplayPlugIn(std::shared_ptr<Replay> replay, std::string unit)
        : mReplay(std::move(replay)), mUnit(std::move(unit)) {}
    IOReturn QueryInterface(std::unique_ptr<DeviceInterface>& device) override {
        RecordedEvent made;
        made.ev = "interface";
        made.unit = mUnit;
        const RecordedEvent* e = mReplay->Take(made);
        if (!e) return kStopped;
        if (e->status == kIOReturnSuccess) device = std::make_unique<ReplayDevice>(mReplay, mUnit);
        return e->status;
    }

private:
    std::shared_ptr<Replay> mReplay;
    std::string mUnit;
};

class ReplayService final : public Service {
public:
    ReplayService(std::shared_ptr<Replay> replay, UnitInfo info)
        : mReplay(std::move(replay)), mInfo(std::move(info)) {}
    const UnitInfo& Info() const override { return mInfo; }
    IOReturn CreatePlugInInterface(std::unique_ptr<PlugInInterface>& plugIn) const override {
        RecordedEvent made;
        made.ev = "plugin";
        made.unit = mInfo.name;
        const RecordedEvent* e = mReplay->Take(made);
        if (!e) return kStopped;
        if (e->status == kIOReturnSuccess)
            plugIn = std::make_unique<ReplayPlugIn>(mReplay, mInfo.name);
        return e->status;
    }

private:
    std::shared_ptr<Replay> mReplay;
    UnitInfo mInfo;
};

IOReturn Replay::GetMatchingServices(const MatchingDictionary&,
                                     std::vector<io_service_t>& services) {
    services.clear();
    RecordedEvent made;
    made.ev = "discovery";
    const RecordedEvent* e = Take(made);
    if (!e) return kStopped;
    for (const auto& unit : e->units)
        services.push_back(std::make_shared<ReplayService>(shared_from_this(), unit));
    return e->status;
}

}  // namespace

std::shared_ptr<ReplayBus> MakeReplayBus(std::vector<RecordedEvent> events, bool timing,
                                         int version) {
    return std::make_shared<Replay>(std::move(events), timing, version);
}

}  // namespace FWLib
