#pragma once

// The user's language: texts a user reads go through the "kyfirmwareupdate"
// gettext catalogue. English is the source; under the "C" locale, or for a
// text the catalogue lacks, the English text is shown as it is written.

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

// Marks a text for the catalogue where it is kept in a table; the table's
// user passes it through ky::Tr when it is shown.
#define N_(english) english

namespace ky {

// Takes the language of messages and of characters from the user's
// environment (LANGUAGE, LC_ALL, LC_MESSAGES, LANG) and the catalogues from
// `localeDir`. Numbers stay as the "C" locale writes them: "1.5" is "1.5"
// in every language.
void UseTranslations(const char* localeDir);
// The same with the catalogues at `relative` to the program's own
// directory ("../share/locale"): an installed program finds those of its
// install wherever the install is (/usr/local, or /usr from the package).
void UseTranslationsBesideProgram(const char* relative);
// The user's languages for messages in the order gettext tries them, as
// "de_DE.UTF-8" or "fr": the list in LANGUAGE, else the locale of messages
// (LC_ALL, LC_MESSAGES or LANG). None under the "C" locale, where gettext
// looks at no language. For the catalogues of libraries (Qt's).
std::vector<std::string> MessageLanguages();
// From now on every text is English, whatever the user's language, the
// system's error texts included: for documents that programs read.
void UseEnglish();
// `english` in the user's language (UTF-8), or `english` itself.
const char* Tr(const char* english);
// The form for `n` things in the user's language: `one` or `many` in English.
const char* TrN(const char* one, const char* many, unsigned long n);
// Puts values in place of {1}..{9} in a translated sentence, in whatever
// order the translation has them: Fill("{2} of {1}", {"a", "b"}) is "b of a".
std::string Fill(std::string_view pattern, std::initializer_list<std::string_view> values);

}  // namespace ky
