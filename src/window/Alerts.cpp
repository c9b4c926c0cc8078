#include "window/Alerts.h"

#include <cctype>
#include <utility>

#include "base/Translate.h"
#include "update/UpdateWording.h"

namespace ky {

std::string Ended(std::string text) {
    // A sentence of the user's language may end in its own full stop.
    const bool ended = text.empty() || text.back() == '?' || text.back() == '.' ||
                       text.ends_with("\u3002") || text.ends_with("\uff1f");
    // TRANSLATORS: {1} is a sentence; end it with your language's full stop.
    return ended ? text : Fill(Tr("{1}."), {text});
}

std::string Sentence(std::string text) {
    if (text.empty()) return text;
    text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    return Ended(std::move(text));
}

std::string Below(const std::string& text, const std::string& notice) {
    return notice.empty() ? text : text + "\n\n" + Sentence(notice);
}

std::string Notices(const std::string& first, const std::string& second) {
    return first.empty() || second.empty() ? first + second
                                           : Sentence(first) + "\n\n" + Sentence(second);
}

SInt16 Alert(AlertType type, const std::string& message, const std::string& informative,
             const char* cancel) {
    return RunStandardAlert({type, ShownText(message), ShownText(informative), cancel});
}

}  // namespace ky

using ky::Alert;
using ky::Below;

SInt16 ShowDownloadFailedAlert(const ky::UpdateResult& result, const std::string& notice) {
    if (!result.started)
        return Alert(kAlertStopAlert, ky::Tr("Update Not Started"),
                     Below(ky::DescribeFailure(result), notice));
    const std::string advice = ky::FailureAdvice(result, ky::AdviceFor::Window);
    return Alert(kAlertStopAlert, ky::Tr("Programming Failed"),
                 Below(ky::DescribeFailure(result) + "\n" + advice, notice));
}
