#include "cli/Main.h"

int main(int argc, char** argv) {
    return kyfw::Main(argc, argv, ky::ProcessTable("/proc"));
}
