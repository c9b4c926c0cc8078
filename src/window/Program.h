#pragma once

#include "support/ProcessTable.h"

class QTranslator;

namespace ky {

// Qt's own texts (the buttons Qt makes, the context menu of a text) in the
// user's language, chosen as gettext chooses the catalogue's; none for
// English. The translator installed, which its deletion takes out, or null.
QTranslator* UseQtTranslations();

// The desktop updater from its command line to its exit status. Other
// programs that use the Ky are looked for in `processes`: the machine's
// /proc in ky-firmware-update itself.
int RunWindowProgram(int argc, char** argv, const ProcessTable& processes);

}  // namespace ky
