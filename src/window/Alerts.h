#pragma once

// How the window words what it says: sentences, the notices below an
// alert's own text, and the alert after a failed update.

#include <string>

#include "qtsupport/PlatformServices.h"
#include "update/UpdateResult.h"

namespace ky {

// "the Ky left the bus" as a sentence: "The Ky left the bus."
std::string Sentence(std::string text);
// The text with a full stop of the user's language, unless it has one.
std::string Ended(std::string text);
// What the user must also know, below an alert's own text.
std::string Below(const std::string& text, const std::string& notice);
// Two notices, each a sentence of its own.
std::string Notices(const std::string& first, const std::string& second);
// A standard alert; `cancel`, when given, names its second button.
SInt16 Alert(AlertType type, const std::string& message, const std::string& informative,
             const char* cancel = "");

}  // namespace ky

// The update did not program both images: which one failed, why, and what
// to do now.
SInt16 ShowDownloadFailedAlert(const ky::UpdateResult& result, const std::string& notice = "");
