// ky-firmware-update as the tests run it: the same program over the test's
// own processes.
#include "programs/TestProcesses.h"
#include "window/Program.h"

int main(int argc, char** argv) {
    return ky::RunWindowProgram(argc, argv, kytest::TestProcesses());
}
