#pragma once
// The program's texts in English and Japanese.
#include <string>

namespace qx {

constexpr int kLangEnglish = 0x0409;
constexpr int kLangJapanese = 0x0411;

// A message text by string id, in the user's default language (from the locale environment),
// falling back to English; "" when no language has it.
std::string LoadLocalizedString(int id);
// Switches the language of the windows' own texts (dialogs, menus); message texts keep
// following the user's default language.
void SetThreadLanguage(int languageId);
// The language the windows' own texts are shown in: kLangJapanese or kLangEnglish.
int WindowLanguage();

}  // namespace qx
