#pragma once
// The program's texts, addressed by their numeric IDs, in English and
// German. Every sentence the user sees comes from here, apart from the
// window caption, the file-type filter and a few format patterns.

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

enum class Language { English, German };

// The language of the user: German when the first of LC_ALL, LC_MESSAGES
// and LANG that is set names a German locale, English otherwise. LANGUAGE
// (a colon-separated list, taken entry by entry) decides instead when it
// is set and that locale is set and not C or POSIX, as gettext has it; so
// LANGUAGE=de without a locale gives English.
Language LanguageFromEnvironment();

// The language Text() uses: chosen from the environment at the first
// call unless SetLanguage chose one before.
Language CurrentLanguage();
void SetLanguage(Language language);

// The text with this ID in the current language (or the given one); an
// ID that is not in the tables gives an empty text.
std::string Text(int id);
std::string Text(int id, Language language);
bool HasText(int id);

// The IDs of the tables, ascending.
std::vector<int> TextIds();

// Replaces each "%s" or "%d" of pattern, left to right, by the next
// argument; "%%" stands for "%". Placeholders without an argument are left
// out. The arguments are copied as they are, up to a NUL byte in them, so
// a text that itself holds "%s" is never read as a pattern.
std::string FormatText(std::string_view pattern, std::initializer_list<std::string_view> args);
std::string FormatText(int id, std::string_view arg);
std::string FormatText(int id, int arg);
