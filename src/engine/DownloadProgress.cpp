#include "engine/DownloadProgress.h"

namespace {
constexpr UInt32 kXilinxEraseBase = 40;
constexpr UInt32 kMcoreEraseBase = 80;
constexpr UInt32 kProgrammingStretch = 20;
}  // namespace

void DownloadProgress::Reset() {
    _progressBase = 0;
    _toAdvance = 0;
    Store(0);
    _phase.store(kStarting, std::memory_order_relaxed);
}

void DownloadProgress::SetErase() {
    if (DeviceType() != Xilinx && DeviceType() != MCORE) {
        mTrace << "Invalid device type\n";
        return;
    }
    const UInt32 base = DeviceType() == Xilinx ? kXilinxEraseBase : kMcoreEraseBase;
    Store(base);
    _phase.store(kErasing, std::memory_order_relaxed);
    _progressBase = base;
    _toAdvance = 0;
}

void DownloadProgress::SetPgm() {
    if (DeviceType() != Xilinx && DeviceType() != MCORE) {
        mTrace << "Invalid device type\n";
        return;
    }
    _toAdvance = kProgrammingStretch;
    _phase.store(kWriting, std::memory_order_relaxed);
}

void DownloadProgress::Update(float val) {
    // In single precision, as the value has always been computed.
    const float value = static_cast<float>(_progressBase) + static_cast<float>(_toAdvance) * val;
    Store(value > 0.0f ? static_cast<UInt32>(value) : 0u);
}
