#include "KyAssert.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ky {

void AssertionFailed(const char* file, unsigned line, const char* expression) {
    // Print the file name without the build machine's directories.
    const char* slash = std::strrchr(file, '/');
    const char* name = slash ? slash + 1 : file;
    std::fprintf(stderr, "%s:%u: failed assertion `%s'\n", name, line, expression);
    std::fflush(stderr);
    std::abort();
}

}  // namespace ky
