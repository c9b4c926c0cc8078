#pragma once

// The Linux backend's system calls answered by kernel nodes in this
// process, with what the file itself may do: refuse the user until udev has
// run, be locked by another program, never answer, or hang up. Several Kys
// may be driven at once, each through its own device file from its own
// thread: what is recorded is kept under a lock.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>
#include <set>
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
    KernelNode node;                           // every device file but those below
    std::map<std::string, KernelNode> others;  // a device file of another Ky, its node
    // Of each node's block writes: the threads that sent them, and the
    // first's and the last's place among all.
    std::map<const KernelNode*, std::set<std::thread::id>> blockThreads;
    std::map<const KernelNode*, std::pair<std::size_t, std::size_t>> blockSpans;

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

    int Open(const char* path, int) override {
        if (Steady::now() < accessFrom) return errno = EACCES, -1;
        if (openErrno) return errno = openErrno, -1;
        const auto other = others.find(path);  // fd 42: `node`, 43 on: the others in turn
        return other == others.end() ? 42
                                     : 43 + static_cast<int>(std::distance(others.begin(), other));
    }
    int Close(int) override { return 0; }
    int Flock(int, int op) override {
        if (Interrupted()) return -1;
        std::lock_guard lock(mRecord);
        flocks.push_back(op);
        return (flockErrno && (op & LOCK_EX)) ? (errno = flockErrno, -1) : 0;
    }
    int Ioctl(int fd, unsigned long request, void* arg) override {
        if (Interrupted()) return -1;
        KernelNode& to = File(fd);
        if (to.Gone()) return errno = ENODEV, -1;
        if (request == FW_CDEV_IOC_GET_INFO) {
            auto* info = static_cast<fw_cdev_get_info*>(arg);
            EXPECT_EQ(info->version, 5u);
            to.GetInfo(reinterpret_cast<fw_cdev_event_bus_reset*>(info->bus_reset));
            return 0;
        }
        const auto& sent = *static_cast<fw_cdev_send_request*>(arg);
        Record(to, sent);
        if (strayFirst && answer == Answer::Complete) to.QueueStray(sent.closure + 1);
        to.Request(sent, answer == Answer::Complete);
        return 0;
    }
    int Poll(pollfd* fds, nfds_t, int timeoutMs) override {
        if (interruptEachCall && !mInterrupted) std::this_thread::sleep_for(Ms(timeoutMs * 3 / 4));
        if (Interrupted()) return -1;
        if (answer == Answer::HangUp) return fds[0].revents = POLLHUP, 1;
        if (!File(fds[0].fd).WaitForEvent(Ms(timeoutMs))) return 0;  // the time-out ran out
        return fds[0].revents = POLLIN, 1;
    }
    ssize_t Read(int fd, void* buf, size_t size) override {
        if (Interrupted()) return -1;
        const auto event = File(fd).NextEvent().value_or(Bytes{});
        std::memcpy(buf, event.data(), std::min(size, event.size()));
        return static_cast<ssize_t>(event.size());
    }

private:
    // True, with EINTR, every other call.
    bool Interrupted() {
        mInterrupted = interruptEachCall && !mInterrupted;
        return mInterrupted && (errno = EINTR);
    }
    KernelNode& File(int fd) {
        return fd == 42 ? node : std::next(others.begin(), fd - 43)->second;
    }
    void Record(const KernelNode& to, const fw_cdev_send_request& r) {
        std::lock_guard lock(mRecord);
        last = r, ++requests;
        if (r.tcode != TCODE_WRITE_BLOCK_REQUEST) return;
        const auto* data = reinterpret_cast<const UInt8*>(r.data);
        blocks.emplace_back(data, data + r.length);
        blockThreads[&to].insert(std::this_thread::get_id());
        blockSpans.try_emplace(&to, blocks.size(), 0).first->second.second = blocks.size();
    }
    std::atomic<bool> mInterrupted = false;
    std::mutex mRecord;
};

}  // namespace kytest
