#pragma once

// The Linux backend's system calls answered by a kernel node in this
// process, with what the file itself may do: refuse the user until udev has
// run, be locked by another program, never answer, or hang up.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>

#include <cerrno>
#include <thread>

#include "firewire/LinuxBus.h"
#include "support/KernelNode.h"

namespace kytest {

class FakeKernel final : public FWLib::Syscalls {
public:
    enum class Answer { Complete, Never, HangUp };
    Answer answer = Answer::Complete;
    int openErrno = 0, flockErrno = 0;
    Steady::time_point accessFrom{};  // EACCES before
    bool strayFirst = false;          // a response to another request comes first
    // A signal interrupts each call once, before it is made (a poll after
    // three quarters of its time-out).
    bool interruptEachCall = false;
    std::vector<int> flocks;
    std::vector<Bytes> blocks;  // the block writes sent
    fw_cdev_send_request last{};
    unsigned requests = 0;
    KernelNode node;

    FakeKernel() {
        node.countEveryRequest = true;
        node.generation = 7;
    }
    // A bus reset at the next request: GET_INFO shows it `info` later, its
    // event comes `event` later.
    void ResetAtNextRequest(Ms info, Ms event) {
        node.resetAt = node.Counted() + 1;
        node.resetInfoAfter = info, node.resetEventAfter = event;
    }
    // The node leaves at the next request, and comes back after `back`.
    void LeaveAtNextRequest(Ms back) { node.leaveAt = node.Counted() + 1, node.backAfter = back; }

    int Open(const char*, int) override {
        if (Steady::now() < accessFrom) return errno = EACCES, -1;
        return openErrno ? (errno = openErrno, -1) : 42;
    }
    int Close(int) override { return 0; }
    int Flock(int, int op) override {
        if (Interrupted()) return -1;
        flocks.push_back(op);
        return (flockErrno && (op & LOCK_EX)) ? (errno = flockErrno, -1) : 0;
    }
    int Ioctl(int, unsigned long request, void* arg) override {
        if (Interrupted()) return -1;
        if (node.Gone()) return errno = ENODEV, -1;
        if (request == FW_CDEV_IOC_GET_INFO) {
            auto* info = static_cast<fw_cdev_get_info*>(arg);
            EXPECT_EQ(info->version, 5u);
            node.GetInfo(reinterpret_cast<fw_cdev_event_bus_reset*>(info->bus_reset));
            return 0;
        }
        last = *static_cast<fw_cdev_send_request*>(arg);
        ++requests;
        const auto* data = reinterpret_cast<const UInt8*>(last.data);
        if (last.tcode == TCODE_WRITE_BLOCK_REQUEST) blocks.emplace_back(data, data + last.length);
        if (strayFirst && answer == Answer::Complete) node.QueueStray(last.closure + 1);
        node.Request(last, answer == Answer::Complete);
        return 0;
    }
    int Poll(pollfd* fds, nfds_t, int timeoutMs) override {
        if (interruptEachCall && !mInterrupted) std::this_thread::sleep_for(Ms(timeoutMs * 3 / 4));
        if (Interrupted()) return -1;
        if (answer == Answer::HangUp) return fds[0].revents = POLLHUP, 1;
        if (!node.WaitForEvent(Ms(timeoutMs))) return 0;  // the time-out ran out
        return fds[0].revents = POLLIN, 1;
    }
    ssize_t Read(int, void* buf, size_t size) override {
        if (Interrupted()) return -1;
        const auto event = node.NextEvent().value_or(Bytes{});
        std::memcpy(buf, event.data(), std::min(size, event.size()));
        return static_cast<ssize_t>(event.size());
    }

private:
    // True, with EINTR, every other call.
    bool Interrupted() {
        mInterrupted = interruptEachCall && !mInterrupted;
        return mInterrupted && (errno = EINTR);
    }
    bool mInterrupted = false;
};

}  // namespace kytest
