#include "update/KyProbe.h"

#include <condition_variable>
#include <mutex>
#include <thread>

#include "update/kyfirmwareupdate.h"

namespace ky {

// Passes the probe's trace on while the probe lives: its thread may end
// after the window that made it, and after the owner's sink.
class ClosingSink final : public TraceSink {
public:
    explicit ClosingSink(Trace to) : mTo(to) {}
    void Write(std::string_view text) override {
        std::lock_guard guard(mMutex);
        if (mOpen) mTo << text;
    }
    void Close() {
        std::lock_guard guard(mMutex);
        mOpen = false;
    }

private:
    std::mutex mMutex;
    Trace mTo;
    bool mOpen = true;
};

// What the window and the probe's thread share; the thread keeps it alive
// until its identification has ended.
struct KyProbe::Shared {
    explicit Shared(Trace trace) : trace(trace) {}
    ClosingSink trace;
    std::mutex mutex;
    std::condition_variable changed;
    bool wanted = false, stop = false;
    unsigned asked = 0, answered = 0;
    std::optional<Answers> latest;
};

namespace {

// The GUID of each Ky unit on the bus; with none, 0 (whatever is found).
std::vector<UInt64> KyGuids(FWLib::Bus& bus) {
    std::vector<UInt64> guids;
    if (const auto units = FindKyUnits(bus))
        for (const auto& unit : *units) guids.push_back(unit->Info().guid);
    if (guids.empty()) guids.push_back(0);
    return guids;
}

KyProbe::Answer IdentifyOne(ZRV::PTA::CKyFirmwareUpdate& controller, UInt64 guid) {
    controller.SelectUnit(guid);
    KyProbe::Answer answer;
    answer.found = controller.IsFound();
    answer.info = controller.Info();
    answer.check = controller.LastCheck();
    answer.unit = controller.FoundUnit();
    if (!answer.found) answer.reason = controller.WhyNotFound();
    return answer;
}

void Loop(std::shared_ptr<KyProbe::Shared> shared, std::shared_ptr<FWLib::Bus> bus,
          ProcessTable processes, Trace trace) {
    ZRV::PTA::CKyFirmwareUpdate controller(bus, SystemClock(), std::move(processes), trace);
    std::unique_lock lock(shared->mutex);
    for (;;) {
        shared->changed.wait(lock, [&] { return shared->wanted || shared->stop; });
        if (shared->stop) return;
        const unsigned asked = shared->asked;
        lock.unlock();
        KyProbe::Answers answers;
        for (UInt64 guid : KyGuids(*bus)) answers.push_back(IdentifyOne(controller, guid));
        lock.lock();
        shared->latest = std::move(answers);
        shared->answered = asked;
        shared->wanted = false;
        shared->changed.notify_all();
    }
}

}  // namespace

KyProbe::KyProbe(std::shared_ptr<FWLib::Bus> bus, ProcessTable processes, Trace trace)
    : mShared(std::make_shared<Shared>(trace)) {
    std::thread(Loop, mShared, std::move(bus), std::move(processes), Trace(mShared->trace))
        .detach();
}

KyProbe::~KyProbe() {
    mShared->trace.Close();
    std::lock_guard lock(mShared->mutex);
    mShared->stop = true;
    mShared->changed.notify_all();
}

const KyProbe::Answer& KyProbe::Chosen(const Answers& answers, UInt64 guid) {
    for (const auto& answer : answers)
        if (answer.unit.guid == guid) return answer;
    return answers.front();
}

std::optional<KyProbe::Answers> KyProbe::Ask(std::chrono::milliseconds wait) {
    std::unique_lock lock(mShared->mutex);
    if (!mShared->wanted) {
        mShared->wanted = true;
        ++mShared->asked;
        mShared->changed.notify_all();
    }
    const unsigned asked = mShared->asked;
    mShared->changed.wait_for(lock, wait, [&] { return mShared->answered >= asked; });
    return mShared->latest;
}

}  // namespace ky
