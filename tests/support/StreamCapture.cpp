#include "support/StreamCapture.h"

#include <iostream>

namespace kytest {

StreamCapture::StreamCapture()
    : mSavedOut(std::cout.rdbuf(mOut.rdbuf())), mSavedErr(std::cerr.rdbuf(mErr.rdbuf())) {}

StreamCapture::~StreamCapture() {
    std::cout.rdbuf(mSavedOut);
    std::cerr.rdbuf(mSavedErr);
}

void StreamCapture::Clear() {
    mOut.str({});
    mErr.str({});
}

}  // namespace kytest
