#pragma once

namespace kyfw {
// The whole command line; returns the exit status.
int Main(int argc, char** argv);
}  // namespace kyfw
