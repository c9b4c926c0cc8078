// ky-firmware-update: the desktop updater.
#include "base/Translate.h"
#include "window/Program.h"

int main(int argc, char** argv) {
    ky::UseTranslations(KY_LOCALE_DIR);
    return ky::RunWindowProgram(argc, argv, ky::ProcessTable("/proc"));
}
