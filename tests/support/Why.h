#pragma once

#include <string>

#include "base/Result.h"

namespace kytest {

// The words of a failure, or nothing when it succeeded: one comparison
// shows both whether it failed and why.
template <class T>
std::string Why(const ky::Result<T>& result) {
    return result ? std::string() : result.Failure().What();
}

}  // namespace kytest
