#pragma once

#include <array>
#include <atomic>
#include <optional>

#include "base/Trace.h"
#include "engine/FirmwareImage.h"

namespace ky {

// One step of an update as the progress record counts it: an image's
// erase, or its writing, and its share of the 0 to 100.
struct ProgressStep {
    DL_DEVICE_TYPE image;
    bool writing;
    UInt32 weight;
};
// How an update divides 0 to 100 among its steps, in the order they run.
// An erase has no fraction to report: its step counts as done once it
// begins. Writing reports the part of the image sent.
using ProgressSteps = std::array<ProgressStep, 4>;
inline constexpr ProgressSteps kUpdateSteps = {
    {{Xilinx, false, 40}, {Xilinx, true, 20}, {MCORE, false, 20}, {MCORE, true, 20}}};

}  // namespace ky

// The progress of an update, 0 to 100, over the steps it is given: with the
// update's steps the Xilinx image is erased at 40 and written from 40 to
// 60, the MCORE image erased at 80 and written from 80 to 100. Written by
// the worker thread; another thread may read Get() at any time and sees one
// whole 32-bit value.
class DownloadProgress {
public:
    // A device type without steps is said on `trace`.
    explicit DownloadProgress(ky::Trace trace = {},
                              const ky::ProgressSteps& steps = ky::kUpdateSteps)
        : mTrace(trace), mSteps(steps) {
        Reset();
    }

    void Reset();
    void SetDeviceType(DL_DEVICE_TYPE type) { _devType.store(type, std::memory_order_relaxed); }
    DL_DEVICE_TYPE DeviceType() const { return _devType.load(std::memory_order_relaxed); }
    // What the record shows now, for a reader on another thread that wants
    // to name the phase ("Xilinx: erasing").
    enum Phase : UInt32 { kStarting = 0, kErasing = 1, kWriting = 2 };
    Phase CurrentPhase() const { return _phase.load(std::memory_order_relaxed); }
    // The image's erase step begins (and counts as done).
    void SetErase();
    // The image's writing step begins.
    void SetPgm();
    // `val` is the part of the image sent, 0.0 to 1.0; the value shown is
    // truncated toward zero, so only 1.0 reaches the end of the step.
    void Update(float val);
    UInt32 Get() const { return _progress.load(std::memory_order_relaxed); }

private:
    struct Span {
        UInt32 start = 0, weight = 0;
    };
    // Where the device type's erase or writing step lies; none for a type
    // without one.
    std::optional<Span> Step(bool writing) const;
    void Store(UInt32 value) { _progress.store(value, std::memory_order_relaxed); }

    std::atomic<UInt32> _progress{0};
    UInt32 _progressBase = 0;
    UInt32 _toAdvance = 0;
    std::atomic<DL_DEVICE_TYPE> _devType{Xilinx};
    std::atomic<Phase> _phase{kStarting};
    ky::Trace mTrace;
    ky::ProgressSteps mSteps;
};
