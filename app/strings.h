#pragma once
// The program's texts in English and Japanese.
#include <initializer_list>
#include <string>
#include <string_view>

#include "core/text_format.h"  // FormatNumber and FormatTexts, for the texts of this table

namespace qx {

constexpr int kLangEnglish = 0x0409;
constexpr int kLangJapanese = 0x0411;
constexpr int kLangNeutral = 0x0400;
constexpr int kLangSystemDefault = 0x0800;
constexpr int kLangWithoutTable = 0x0000;  // a user language the program has no texts for

// A message text by string id, in the user's default language (from the locale environment),
// falling back to English; "" when no language has it.
std::string LoadLocalizedString(int id);
// Switches the language of the windows' own texts (dialogs, menus); message texts keep
// following the user's default language.
void SetThreadLanguage(int languageId);
// The language the windows' own texts are shown in: kLangJapanese or kLangEnglish.
int WindowLanguage();

// The user's default language from the first non-empty of LC_ALL, LC_MESSAGES and LANG
// (null counts as empty): "ja..." Japanese, "en..." English, anything else kLangWithoutTable.
int UserLanguageFromLocale(const char* lcAll, const char* lcMessages, const char* lang);
// The same from the process environment.
int UserDefaultLanguage();

// The text of id in one language, or an empty view when that language has no entry.
using StringTableLookup = std::string_view (*)(int languageId, int id);
// The lookup behind LoadLocalizedString: tries userLanguage, neutral, system default, then
// English; an empty entry counts as missing; at most 999 characters are returned.
std::string LookupLocalizedString(int id, int userLanguage, StringTableLookup table);
// The compiled-in table.
std::string_view CompiledString(int languageId, int id);

}  // namespace qx
