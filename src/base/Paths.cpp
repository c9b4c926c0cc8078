#include "Paths.h"

#include <cstdlib>

namespace ky {

std::filesystem::path StateDirectory() {
    const char* xdg = std::getenv("XDG_STATE_HOME");
    if (xdg && *xdg == '/') return std::filesystem::path(xdg) / "kyfirmwareupdate";
    const char* home = std::getenv("HOME");
    std::filesystem::path base = (home && *home) ? home : "/tmp";
    return base / ".local" / "state" / "kyfirmwareupdate";
}

}  // namespace ky
