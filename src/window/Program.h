#pragma once

#include "support/ProcessTable.h"

namespace ky {

// The desktop updater from its command line to its exit status. Other
// programs that use the Ky are looked for in `processes`: the machine's
// /proc in ky-firmware-update itself.
int RunWindowProgram(int argc, char** argv, const ProcessTable& processes);

}  // namespace ky
