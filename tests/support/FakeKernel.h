#pragma once

// A stand-in for the kernel's firewire character device, behind the Linux
// backend's system calls.

#include <gtest/gtest.h>
#include <linux/firewire-cdev.h>
#include <linux/firewire-constants.h>
#include <poll.h>
#include <sys/file.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "firewire/LinuxBus.h"
#include "support/KernelEvents.h"

namespace kytest {

using Steady = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

// Answers like the kernel's firewire core: one event per read, responses
// and bus resets laid out as it queues them, and what a real bus does to a
// transaction, on real time: a bus reset flushes the request with
// RCODE_GENERATION before GET_INFO shows the new generation and before the
// reset event comes; a node that leaves keeps its file for 2 s and comes
// back with a new generation or answers ENODEV from then on; busy and
// cancelled answers; a file that refuses the user until udev has run.
class FakeKernel final : public FWLib::Syscalls {
public:
    enum class Answer { Complete, Never, HangUp };
    Answer answer = Answer::Complete;
    UInt32 rcode = RCODE_COMPLETE;
    std::vector<UInt8> readPayload{0x00, 0x01, 0x00, 0x05};
    int openErrno = 0;
    Steady::time_point accessFrom{};  // EACCES before
    int flockErrno = 0;
    UInt32 generation = 7;
    bool strayFirst = false;  // a response to another request comes first
    unsigned busyAnswers = 0, cancelledAnswers = 0;
    std::vector<int> flocks;
    fw_cdev_send_request last{};
    std::vector<UInt8> lastData;
    unsigned requests = 0;

    // A bus reset at the next request: GET_INFO shows it `info` later, its
    // event comes `event` later.
    void ResetAtNextRequest(Ms info, Ms event) { mScript = {true, false, info, event}; }
    // The node leaves at the next request, and comes back after `back`
    // (from 2 s on its file answers ENODEV instead).
    void LeaveAtNextRequest(Ms back) { mScript = {true, true, back, back}; }

    int Open(const char*, int) override {
        if (Steady::now() < accessFrom) return errno = EACCES, -1;
        return openErrno ? (errno = openErrno, -1) : 42;
    }
    int Close(int) override { return 0; }
    int Flock(int, int op) override {
        flocks.push_back(op);
        return (flockErrno && (op & LOCK_EX)) ? (errno = flockErrno, -1) : 0;
    }
    int Ioctl(int, unsigned long request, void* arg) override {
        if (Gone()) return errno = ENODEV, -1;
        if (request == FW_CDEV_IOC_GET_INFO) {
            auto* info = static_cast<fw_cdev_get_info*>(arg);
            EXPECT_EQ(info->version, 5u);
            auto* reset = reinterpret_cast<fw_cdev_event_bus_reset*>(info->bus_reset);
            reset->generation = ShownGeneration();
            reset->node_id = 0xFFC1;
            return 0;
        }
        last = *static_cast<fw_cdev_send_request*>(arg);
        ++requests;
        const UInt8* data = reinterpret_cast<const UInt8*>(last.data);
        lastData.assign(data, data + (last.data ? last.length : 0));
        if (mScript.armed) StartScript();
        if (answer != Answer::Complete) return 0;
        if (strayFirst) Queue(ResponseEvent(last.closure + 1, RCODE_COMPLETE, {0xDE, 0xAD}));
        Queue(ResponseEvent(last.closure, Rcode(), Read() ? readPayload : Bytes{}));
        return 0;
    }
    int Poll(pollfd* fds, nfds_t, int timeoutMs) override {
        if (answer == Answer::HangUp) return fds[0].revents = POLLHUP, 1;
        Promote();
        if (mEvents.empty()) {
            auto until = Steady::now() + Ms(timeoutMs);
            if (mPending && mPending->first < until) until = mPending->first;
            std::this_thread::sleep_until(until);
            Promote();
        }
        if (mEvents.empty()) return 0;  // the time-out ran out
        return fds[0].revents = POLLIN, 1;
    }
    ssize_t Read(int, void* buf, size_t size) override {
        const auto event = mEvents.front();
        mEvents.pop_front();
        std::memcpy(buf, event.data(), std::min(size, event.size()));
        return static_cast<ssize_t>(event.size());
    }
    void QueueBusReset(UInt32 newGeneration) { Queue(BusResetEvent(newGeneration, 0xFFC2)); }

private:
    using Bytes = std::vector<UInt8>;
    struct Script {
        bool armed = false, leave = false;
        Ms info{0}, event{0};
    };

    bool Read() const {
        return last.tcode == TCODE_READ_QUADLET_REQUEST || last.tcode == TCODE_READ_BLOCK_REQUEST;
    }
    UInt32 Rcode() {
        if (last.generation != generation || Steady::now() < mBackAt)
            return RCODE_GENERATION;  // flushed, stale, or sent to a node that is away
        if (busyAnswers > 0) return --busyAnswers, RCODE_BUSY;
        if (cancelledAnswers > 0) return --cancelledAnswers, RCODE_CANCELLED;
        return rcode;
    }
    void StartScript() {
        const auto now = Steady::now();
        mReset = true;
        mOldGeneration = generation++;
        mInfoAt = now + mScript.info;
        mBackAt = mScript.leave ? now + mScript.info : now;
        mGoneAt =
            mScript.leave && mScript.info >= Ms(2000) ? now + Ms(2000) : Steady::time_point::max();
        if (mGoneAt == Steady::time_point::max())
            mPending = {now + mScript.event, BusResetEvent(generation, 0xFFC1)};
        mScript = {};
    }
    UInt32 ShownGeneration() const {
        return mReset && Steady::now() < mInfoAt ? mOldGeneration : generation;
    }
    bool Gone() const { return Steady::now() >= mGoneAt; }
    void Promote() {
        if (mPending && Steady::now() >= mPending->first) {
            Queue(mPending->second);
            mPending.reset();
        }
    }
    void Queue(Bytes event) { mEvents.push_back(std::move(event)); }

    Script mScript;
    bool mReset = false;
    UInt32 mOldGeneration = 0;
    Steady::time_point mInfoAt{}, mBackAt{}, mGoneAt = Steady::time_point::max();
    std::optional<std::pair<Steady::time_point, Bytes>> mPending;
    std::deque<Bytes> mEvents;
};

}  // namespace kytest
