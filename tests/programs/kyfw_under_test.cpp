// kyfw as the tests run it: the same program over the test's own processes,
// in the language of the build tree's catalogues.
#include "base/Translate.h"
#include "cli/Main.h"
#include "programs/TestProcesses.h"

int main(int argc, char** argv) {
    ky::UseTranslations(KYTEST_LOCALE_DIR);
    return kyfw::Main(argc, argv, kytest::TestProcesses());
}
