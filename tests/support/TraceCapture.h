#pragma once

#include <mutex>
#include <string>

#include "base/Trace.h"

namespace kytest {

// Keeps what the code under test traces, from any thread.
class TraceCapture final : public ky::TraceSink {
public:
    void Write(std::string_view text) override {
        std::lock_guard guard(mMutex);
        mText += text;
    }
    ky::Trace Sink() { return ky::Trace(*this); }
    std::string Text() const {
        std::lock_guard guard(mMutex);
        return mText;
    }
    void Clear() {
        std::lock_guard guard(mMutex);
        mText.clear();
    }

private:
    mutable std::mutex mMutex;
    std::string mText;
};

}  // namespace kytest
