#include "base/Translate.h"

#include <libintl.h>

#include <algorithm>
#include <atomic>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <vector>

namespace ky {

namespace {

constexpr const char* kDomain = "kyfirmwareupdate";
std::atomic<bool> gTranslating{false};

}  // namespace

void UseTranslations(const char* localeDir) {
    // Only messages and characters: LC_NUMERIC and the rest stay "C".
    std::setlocale(LC_MESSAGES, "");
    std::setlocale(LC_CTYPE, "");
    bindtextdomain(kDomain, localeDir);
    bind_textdomain_codeset(kDomain, "UTF-8");
    gTranslating = true;
}

void UseTranslationsBesideProgram(const char* relative) {
    std::error_code ec;
    const auto program = std::filesystem::read_symlink("/proc/self/exe", ec).parent_path();
    // Without its own place the program cannot know its catalogues: never
    // one found from the working directory. It speaks English.
    if (ec || program.empty()) return;
    UseTranslations((program / relative).lexically_normal().c_str());
}

std::vector<std::string> MessageLanguages() {
    const char* locale = std::setlocale(LC_MESSAGES, nullptr);
    if (!locale || std::string_view(locale) == "C" || std::string_view(locale) == "POSIX")
        return {};
    std::vector<std::string> languages;
    const char* list = std::getenv("LANGUAGE");
    std::string_view rest = list && *list ? list : locale;
    while (!rest.empty()) {
        const std::size_t end = std::min(rest.find(':'), rest.size());
        if (end > 0) languages.emplace_back(rest.substr(0, end));
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    return languages;
}

void UseEnglish() {
    gTranslating = false;
    // The system's own texts too: strerror's "No such file or directory".
    std::setlocale(LC_MESSAGES, "C");
}

const char* Tr(const char* english) {
    return gTranslating && *english ? dgettext(kDomain, english) : english;
}

const char* TrN(const char* one, const char* many, unsigned long n) {
    if (!gTranslating) return n == 1 ? one : many;
    return dngettext(kDomain, one, many, n);
}

std::string Fill(std::string_view pattern, std::initializer_list<std::string_view> values) {
    const std::vector<std::string_view> value(values);
    std::string text;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const bool placeholder = pattern[i] == '{' && i + 2 < pattern.size() &&
                                 pattern[i + 1] >= '1' && pattern[i + 1] <= '9' &&
                                 pattern[i + 2] == '}';
        const std::size_t n = placeholder ? std::size_t(pattern[i + 1] - '1') : value.size();
        if (n < value.size()) {
            text += value[n];
            i += 2;
        } else {
            text += pattern[i];
        }
    }
    return text;
}

}  // namespace ky
