#pragma once

// Internal invariants. A failed check writes
//   <file>:<line>: failed assertion `<expression>'
// to the standard error stream, flushes it and aborts. Unlike <cassert>
// these checks stay active in release builds: they guard the device.

namespace ky {

[[noreturn]] void AssertionFailed(const char* file, unsigned line, const char* expression);

}  // namespace ky

#define KY_ASSERT(expr) \
    ((expr) ? static_cast<void>(0) : ::ky::AssertionFailed(__FILE__, __LINE__, #expr))
