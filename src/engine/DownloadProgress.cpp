#include "engine/DownloadProgress.h"

void DownloadProgress::Reset() {
    _progressBase = 0;
    _toAdvance = 0;
    Store(0);
    _phase.store(kStarting, std::memory_order_relaxed);
}

std::optional<DownloadProgress::Span> DownloadProgress::Step(bool writing) const {
    UInt32 start = 0;
    for (const ky::ProgressStep& step : mSteps) {
        if (step.image == DeviceType() && step.writing == writing) return Span{start, step.weight};
        start += step.weight;
    }
    mTrace << "Invalid device type\n";
    return std::nullopt;
}

void DownloadProgress::SetErase() {
    const auto erase = Step(false);
    if (!erase) return;
    const UInt32 done = erase->start + erase->weight;
    Store(done);
    _phase.store(kErasing, std::memory_order_relaxed);
    _progressBase = done;
    _toAdvance = 0;
}

void DownloadProgress::SetPgm() {
    const auto writing = Step(true);
    if (!writing) return;
    _toAdvance = writing->weight;
    _phase.store(kWriting, std::memory_order_relaxed);
}

void DownloadProgress::Update(float val) {
    // In single precision, as the value has always been computed.
    const float value = static_cast<float>(_progressBase) + static_cast<float>(_toAdvance) * val;
    Store(value > 0.0f ? static_cast<UInt32>(value) : 0u);
}
