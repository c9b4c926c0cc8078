#include "base/Translate.h"
#include "cli/Main.h"

int main(int argc, char** argv) {
    ky::UseTranslations(KY_LOCALE_DIR);
    return kyfw::Main(argc, argv, ky::ProcessTable("/proc"));
}
