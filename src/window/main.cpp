// ky-firmware-update: the desktop updater.
#include "base/Translate.h"
#include "window/Program.h"

int main(int argc, char** argv) {
    ky::UseTranslationsBesideProgram(KY_LOCALE_FROM_PROGRAM);
    return ky::RunWindowProgram(argc, argv, ky::ProcessTable("/proc"));
}
