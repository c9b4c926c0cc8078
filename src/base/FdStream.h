#pragma once

#include <ostream>
#include <streambuf>
#include <string>

namespace ky {

// A buffered output stream buffer over a file descriptor that never throws
// and never raises SIGPIPE by itself: the first failed write (a closed pipe,
// a full disk) is remembered and everything after it is dropped, so that a
// reader who went away cannot stop the work that is being reported.
class FdOutputBuffer final : public std::streambuf {
public:
    // `owned`: the descriptor is closed with the buffer.
    explicit FdOutputBuffer(int fd, bool owned = false);
    ~FdOutputBuffer() override;
    FdOutputBuffer(const FdOutputBuffer&) = delete;
    FdOutputBuffer& operator=(const FdOutputBuffer&) = delete;

    // 0 while every write succeeded, else the errno of the first failure.
    int Error() const { return mError; }
    std::string ErrorText() const;
    // Flushes; false when anything written so far was lost.
    bool Finish();

protected:
    int overflow(int c) override;
    int sync() override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;

private:
    bool Drain();

    int mFd;
    bool mOwned;
    int mError = 0;
    char mBuffer[4096];
};

}  // namespace ky
