#pragma once

#include <filesystem>

namespace ky {

// $XDG_STATE_HOME/kyfirmwareupdate, or ~/.local/state/kyfirmwareupdate.
// The directory is not created here.
std::filesystem::path StateDirectory();

}  // namespace ky
