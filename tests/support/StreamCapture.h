#pragma once

#include <sstream>
#include <string>

namespace kytest {

// Captures what the code under test writes to std::cout and std::cerr.
class StreamCapture {
public:
    StreamCapture();
    ~StreamCapture();
    StreamCapture(const StreamCapture&) = delete;
    StreamCapture& operator=(const StreamCapture&) = delete;

    std::string Out() const { return mOut.str(); }
    std::string Err() const { return mErr.str(); }
    void Clear();

private:
    std::ostringstream mOut;
    std::ostringstream mErr;
    std::streambuf* mSavedOut;
    std::streambuf* mSavedErr;
};

}  // namespace kytest
