#include "cli/Text.h"

#include <cctype>

namespace kyfw {

std::string JsonText(const nlohmann::json& doc) {
    return doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool IsYes(std::string answer) {
    const auto first = answer.find_first_not_of(" \t\r");
    if (first == std::string::npos) return false;
    answer = answer.substr(first, answer.find_last_not_of(" \t\r") - first + 1);
    for (char& ch : answer) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return answer == "y" || answer == "yes";
}

}  // namespace kyfw
