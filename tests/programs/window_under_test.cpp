// ky-firmware-update as the tests run it: the same program over the test's
// own processes, in the language of the build tree's catalogues.
#include "base/Translate.h"
#include "programs/TestProcesses.h"
#include "window/Program.h"

int main(int argc, char** argv) {
    ky::UseTranslations(KYTEST_LOCALE_DIR);
    return ky::RunWindowProgram(argc, argv, kytest::TestProcesses());
}
