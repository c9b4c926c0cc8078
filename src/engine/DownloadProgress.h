#pragma once

#include <atomic>

#include "base/Trace.h"
#include "engine/FirmwareImage.h"

// The progress of an update, 0 to 100: the Xilinx image is erased at 40 and
// written from 40 to 60, the MCORE image erased at 80 and written from 80 to
// 100. Written by the worker thread; another thread may read Get() at any
// time and sees one whole 32-bit value.
class DownloadProgress {
public:
    // A device type that is neither image is said on `trace`.
    explicit DownloadProgress(ky::Trace trace = {}) : mTrace(trace) { Reset(); }

    void Reset();
    void SetDeviceType(DL_DEVICE_TYPE type) { _devType.store(type, std::memory_order_relaxed); }
    DL_DEVICE_TYPE DeviceType() const { return _devType.load(std::memory_order_relaxed); }
    // What the record shows now, for a reader on another thread that wants
    // to name the phase ("Xilinx: erasing").
    enum Phase : UInt32 { kStarting = 0, kErasing = 1, kWriting = 2 };
    Phase CurrentPhase() const { return _phase.load(std::memory_order_relaxed); }
    void SetErase();
    void SetPgm();
    // `val` is the part of the image sent, 0.0 to 1.0; the value shown is
    // truncated toward zero, so only 1.0 reaches the end of the stretch.
    void Update(float val);
    UInt32 Get() const { return _progress.load(std::memory_order_relaxed); }

private:
    void Store(UInt32 value) { _progress.store(value, std::memory_order_relaxed); }

    std::atomic<UInt32> _progress{0};
    UInt32 _progressBase = 0;
    UInt32 _toAdvance = 0;
    std::atomic<DL_DEVICE_TYPE> _devType{Xilinx};
    std::atomic<Phase> _phase{kStarting};
    ky::Trace mTrace;
};
