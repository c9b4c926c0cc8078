#include "base/Translate.h"
#include "cli/Main.h"

int main(int argc, char** argv) {
    ky::UseTranslationsBesideProgram(KY_LOCALE_FROM_PROGRAM);
    return kyfw::Main(argc, argv, ky::ProcessTable("/proc"));
}
