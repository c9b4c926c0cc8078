#pragma once

// The kernel's firewire core as one node's /dev/fwN shows it, on real time,
// answered from the model of the Ky's update unit: one event per read, laid
// out as the core queues them, and what a real bus does to a transaction. A
// bus reset flushes the request in flight with RCODE_GENERATION before
// GET_INFO shows the new generation and before the reset event comes; a node
// that leaves keeps its file for 2 s (requests answered RCODE_GENERATION,
// generation frozen) and either comes back with a new generation or answers
// ENODEV from then on; busy and cancelled answers end the transaction (the
// core does not retry them).

#include <linux/firewire-cdev.h>
#include <linux/firewire-constants.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "sim/KyUnitModel.h"

namespace kytest {

using Steady = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;
using Bytes = std::vector<UInt8>;

// A response is the whole struct (24 bytes on x86-64) followed by the
// payload, which starts at the data member's offset; for a payload of 4
// bytes or less the kernel also keeps its own copy inside the struct's tail
// and repeats the payload after it.
inline Bytes ResponseEvent(UInt64 closure, UInt32 rcode, const Bytes& payload) {
    const std::size_t length = rcode == RCODE_COMPLETE ? payload.size() : 0;
    constexpr std::size_t kData = offsetof(fw_cdev_event_response, data);
    fw_cdev_event_response r{};
    r.closure = closure;
    r.type = FW_CDEV_EVENT_RESPONSE;
    r.rcode = rcode;
    r.length = static_cast<UInt32>(length);
    const auto* head = reinterpret_cast<const UInt8*>(&r);
    Bytes e(head, head + kData);
    e.insert(e.end(), payload.begin(), payload.begin() + static_cast<long>(length));
    e.resize(length > sizeof r - kData ? sizeof r + length : sizeof r);
    if (length <= sizeof r - kData)
        e.insert(e.end(), payload.begin(), payload.begin() + static_cast<long>(length));
    return e;
}

// A bus reset is the whole struct, padding included.
inline Bytes BusResetEvent(UInt32 generation, UInt32 nodeId) {
    fw_cdev_event_bus_reset r{};
    r.type = FW_CDEV_EVENT_BUS_RESET;
    r.node_id = nodeId;
    r.local_node_id = 0xFFC0;
    r.generation = generation;
    const auto* bytes = reinterpret_cast<const UInt8*>(&r);
    return Bytes(bytes, bytes + sizeof r);
}

inline UInt32 Rcode(IOReturn status) {
    if (status == kIOReturnSuccess) return RCODE_COMPLETE;
    if (status == kIOFireWireConflictError) return RCODE_CONFLICT_ERROR;
    if (status == kIOFireWireDataError) return RCODE_DATA_ERROR;
    return status == kIOFireWireTypeError ? RCODE_TYPE_ERROR : RCODE_ADDRESS_ERROR;
}

class KernelNode {
public:
    // What happens at the n-th counted request since NewScenario (block
    // writes, or every request when countEveryRequest), n from 1; 0: never.
    bool countEveryRequest = false;
    unsigned resetAt = 0;                            // the bus resets as it is sent
    Ms resetInfoAfter{30}, resetEventAfter{40};      // GET_INFO shows it, its event comes
    unsigned leaveAt = 0;                            // the node leaves as it is sent
    Ms backAfter{500};                               // 2 s or more: gone for good
    unsigned busyAnswers = 0, cancelledAnswers = 0;  // the next ones: RCODE_BUSY, RCODE_CANCELLED
    unsigned failAt = 0;                             // answered RCODE_SEND_ERROR
    UInt32 generation = 1;
    std::function<void()> onEvent;  // an event was queued (called under the node's lock)

    KernelNode() = default;
    ~KernelNode() { JoinTimers(); }
    KernelNode(const KernelNode&) = delete;
    KernelNode& operator=(const KernelNode&) = delete;

    kysim::KyUnitModel& Model() { return mModel; }
    unsigned Counted() const { return mCounted; }
    bool Gone() const { return Steady::now() >= mGoneAt; }
    // Back on the bus as it was, for the next scenario.
    void NewScenario() {
        JoinTimers();
        std::lock_guard lock(mMutex);
        resetAt = leaveAt = busyAnswers = cancelledAnswers = failAt = mCounted = 0;
        mShowAt = mBackAt = {};
        mGoneAt = Steady::time_point::max();
        mShownBefore = generation;
    }
    void GetInfo(fw_cdev_event_bus_reset* reset) {
        std::lock_guard lock(mMutex);
        if (!reset) return;
        reset->type = FW_CDEV_EVENT_BUS_RESET;
        reset->node_id = 0xFFC1;
        reset->local_node_id = 0xFFC0;
        reset->generation = Steady::now() < mShowAt ? mShownBefore : generation;
    }
    // Takes a request (its data in this process) and, unless `answer` is
    // false, queues its response.
    void Request(const fw_cdev_send_request& r, bool answer = true) {
        std::lock_guard lock(mMutex);
        const bool counted = countEveryRequest || r.tcode == TCODE_WRITE_BLOCK_REQUEST;
        mCounted += counted;
        if (counted && mCounted == resetAt) NewGeneration(resetInfoAfter, resetEventAfter);
        if (counted && mCounted == leaveAt) Leave();
        Bytes payload;
        const UInt32 code = Answer(r, counted, payload);
        if (answer) Queue(ResponseEvent(r.closure, code, payload));
    }
    void QueueBusReset(UInt32 newGeneration) {
        std::lock_guard lock(mMutex);
        Queue(BusResetEvent(newGeneration, 0xFFC2));
    }
    void QueueStray(UInt64 closure) {
        std::lock_guard lock(mMutex);
        Queue(ResponseEvent(closure, RCODE_COMPLETE, {0xDE, 0xAD}));
    }
    // True when an event is there or comes within `timeout`.
    bool WaitForEvent(Ms timeout) {
        std::unique_lock lock(mMutex);
        return mQueued.wait_for(lock, timeout, [&] { return !mEvents.empty(); });
    }
    std::optional<Bytes> NextEvent() {
        std::lock_guard lock(mMutex);
        if (mEvents.empty()) return std::nullopt;
        Bytes event = std::move(mEvents.front());
        mEvents.pop_front();
        return event;
    }

private:
    static kysim::UnitBehaviour Instant() {
        kysim::UnitBehaviour b;
        b.eraseMicros = 0;
        return b;
    }
    void JoinTimers() {
        for (auto& t : mTimers) t.join();
        mTimers.clear();
    }
    void Queue(Bytes event) {
        mEvents.push_back(std::move(event));
        mQueued.notify_all();
        if (onEvent) onEvent();
    }
    // Runs `then` under the lock `after` from now.
    void Later(Ms after, std::function<void()> then) {
        mTimers.emplace_back([this, after, then] {
            std::this_thread::sleep_for(after);
            std::lock_guard lock(mMutex);
            then();
        });
    }
    void NewGeneration(Ms show, Ms event) {
        mShownBefore = generation++;
        mShowAt = Steady::now() + show;
        Later(event, [this, g = generation] { Queue(BusResetEvent(g, 0xFFC1)); });
    }
    void Leave() {
        mShownBefore = generation;  // frozen while the node is away
        mShowAt = Steady::time_point::max();
        mBackAt = Steady::now() + backAfter;
        if (backAfter >= Ms(2000)) return void(mGoneAt = Steady::now() + Ms(2000));
        Later(backAfter, [this, g = ++generation] {
            mShowAt = Steady::now();
            Queue(BusResetEvent(g, 0xFFC1));
        });
    }
    UInt32 Answer(const fw_cdev_send_request& r, bool counted, Bytes& payload) {
        if (r.generation != generation || Steady::now() < mBackAt)
            return RCODE_GENERATION;  // flushed, stale, or sent to a node that is away
        if (counted && busyAnswers > 0) return --busyAnswers, RCODE_BUSY;
        if (counted && cancelledAnswers > 0) return --cancelledAnswers, RCODE_CANCELLED;
        if (counted && mCounted == failAt) return RCODE_SEND_ERROR;
        const auto* out = reinterpret_cast<const UInt8*>(r.data);
        FWLib::Quadlet q{};
        switch (r.tcode) {
            case TCODE_WRITE_QUADLET_REQUEST:
                std::memcpy(q.data(), out, 4);
                return Rcode(mModel.WriteQuadlet(r.offset, q));
            case TCODE_READ_QUADLET_REQUEST: {
                const IOReturn status = mModel.ReadQuadlet(r.offset, q);
                payload.assign(q.begin(), q.end());
                return Rcode(status);
            }
            case TCODE_WRITE_BLOCK_REQUEST:
                return Rcode(mModel.WriteBlock(r.offset, out, r.length));
            case TCODE_READ_BLOCK_REQUEST: {
                payload.resize(r.length);
                UInt32 size = r.length;
                const IOReturn status = mModel.ReadBlock(r.offset, payload.data(), size);
                payload.resize(size);
                return Rcode(status);
            }
        }
        return RCODE_TYPE_ERROR;
    }

    std::mutex mMutex;
    std::condition_variable mQueued;
    // The Ky's own time is real time here, as the pauses of kyfw are; it
    // erases at once.
    kysim::KyUnitModel mModel{ky::SystemClock(), {}, Instant()};
    std::deque<Bytes> mEvents;
    std::vector<std::thread> mTimers;
    unsigned mCounted = 0;
    UInt32 mShownBefore = 1;
    Steady::time_point mShowAt{}, mBackAt{}, mGoneAt = Steady::time_point::max();
};

}  // namespace kytest
