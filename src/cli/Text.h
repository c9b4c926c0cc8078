#pragma once

// Text that kyfw writes: every string in it may come from the Ky (its serial
// number), from sysfs or /proc, or from the user, and none of it may break
// the output.

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "base/Text.h"

namespace kyfw {

// The document as JSON text; bytes that are not UTF-8 become U+FFFD, so
// that no string can make the output fail.
std::string JsonText(const nlohmann::json& doc);

// Text for a terminal: see ky::Printable.
using ky::Printable;

// An answer that agrees: y or yes, in any case, with spaces around it.
bool IsYes(std::string answer);

}  // namespace kyfw
