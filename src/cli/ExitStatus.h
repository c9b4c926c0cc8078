#pragma once

#include "update/ExitStatus.h"

// kyfw's exit statuses are the table both programs share.
namespace kyfw {
using ky::ExitStatus;
using enum ky::ExitStatus;
}  // namespace kyfw
