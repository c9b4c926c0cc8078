// ky-firmware-update: the desktop updater.
#include "window/Program.h"

int main(int argc, char** argv) {
    return ky::RunWindowProgram(argc, argv, ky::ProcessTable("/proc"));
}
