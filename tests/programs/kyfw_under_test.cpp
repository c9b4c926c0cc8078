// kyfw as the tests run it: the same program over the test's own processes.
#include "cli/Main.h"
#include "programs/TestProcesses.h"

int main(int argc, char** argv) {
    return kyfw::Main(argc, argv, kytest::TestProcesses());
}
