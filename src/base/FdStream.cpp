#include "FdStream.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ky {

FdOutputBuffer::FdOutputBuffer(int fd, bool owned) : mFd(fd), mOwned(owned) {
    setp(mBuffer, mBuffer + sizeof mBuffer);
}

FdOutputBuffer::~FdOutputBuffer() {
    Drain();
    if (mOwned && mFd >= 0) ::close(mFd);
}

std::string FdOutputBuffer::ErrorText() const {
    return mError ? std::strerror(mError) : "";
}

bool FdOutputBuffer::Drain() {
    const char* p = pbase();
    std::size_t left = static_cast<std::size_t>(pptr() - pbase());
    while (left > 0 && mError == 0) {
        const ssize_t n = ::write(mFd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            mError = n < 0 ? errno : EIO;
            break;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    setp(mBuffer, mBuffer + sizeof mBuffer);  // after a failure, output is dropped
    return mError == 0;
}

int FdOutputBuffer::overflow(int c) {
    Drain();
    if (c != traits_type::eof()) {
        *pptr() = static_cast<char>(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

std::streamsize FdOutputBuffer::xsputn(const char* s, std::streamsize n) {
    for (std::streamsize done = 0; done < n;) {
        if (pptr() == epptr()) Drain();
        const std::streamsize room = epptr() - pptr();
        const std::streamsize chunk = room < n - done ? room : n - done;
        std::memcpy(pptr(), s + done, static_cast<std::size_t>(chunk));
        pbump(static_cast<int>(chunk));
        done += chunk;
    }
    return n;
}

int FdOutputBuffer::sync() {
    Drain();
    return 0;  // the stream stays good: a lost reader must not stop the writer
}

bool FdOutputBuffer::Finish() {
    Drain();
    if (mError == 0 && mOwned && ::fsync(mFd) != 0 && errno != EINVAL) mError = errno;
    return mError == 0;
}

}  // namespace ky
