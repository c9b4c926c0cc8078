#pragma once

#include "support/ProcessTable.h"

namespace kyfw {
// The whole command line; returns the exit status. Other programs that use
// the Ky are looked for in `processes`: the machine's /proc in kyfw itself.
int Main(int argc, char** argv, const ky::ProcessTable& processes);
}  // namespace kyfw
