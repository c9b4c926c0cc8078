#pragma once

#include <cstdlib>

#include "support/ProcessTable.h"

namespace kytest {

// The processes a program under test looks at: the made-up /proc that its
// test names in KYTEST_PROCFS (see support/Subprocess.h), else the real one.
// Only the test programs read it: kyfw and ky-firmware-update as shipped
// always read /proc.
inline ky::ProcessTable TestProcesses() {
    if (const char* root = std::getenv("KYTEST_PROCFS"); root && *root == '/') return {root};
    return {};
}

}  // namespace kytest
