// The string tables, the language choice and the time texts.

#include "app/workflow/StringIds.h"
#include "app/workflow/StringTable.h"
#include "app/workflow/TransferClock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>

namespace {

// Placeholders of a text in order, e.g. "sd".
std::string Placeholders(const std::string& text)
{
    std::string kinds;
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] == '%') {
            kinds += text[i + 1];
            ++i;
        }
    }
    return kinds;
}

// Sets the four locale variables for one check and restores them.
class LocaleEnvironment {
public:
    LocaleEnvironment(const char* language, const char* all, const char* messages, const char* lang)
    {
        const char* values[] = {language, all, messages, lang};
        for (int i = 0; i < 4; ++i) {
            const char* old = std::getenv(kNames[i]);
            m_saved[i] = old ? std::optional<std::string>(old) : std::nullopt;
            if (values[i])
                setenv(kNames[i], values[i], 1);
            else
                unsetenv(kNames[i]);
        }
    }
    ~LocaleEnvironment()
    {
        for (int i = 0; i < 4; ++i) {
            if (m_saved[i])
                setenv(kNames[i], m_saved[i]->c_str(), 1);
            else
                unsetenv(kNames[i]);
        }
    }

private:
    static constexpr const char* kNames[4] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};
    std::optional<std::string> m_saved[4];
};

}  // namespace

TEST(StringTables, EveryIdInBothLanguagesWithTheSamePlaceholders)
{
    const std::vector<int> ids = TextIds();
    ASSERT_FALSE(ids.empty());
    // The window's texts (101 to 127, 333 to 373) without a gap; the
    // later ones stand where they were added.
    const auto has = [&ids](int id) { return std::binary_search(ids.begin(), ids.end(), id); };
    for (int id = 101; id <= 127; ++id)
        EXPECT_TRUE(has(id)) << id;
    for (int id = 333; id <= 373; ++id)
        EXPECT_TRUE(has(id)) << id;
    for (size_t i = 1; i < ids.size(); ++i)
        EXPECT_LT(ids[i - 1], ids[i]) << "IDs sorted and unique";
    for (int id : ids) {
        const std::string english = Text(id, Language::English);
        const std::string german = Text(id, Language::German);
        EXPECT_FALSE(english.empty()) << id;
        EXPECT_FALSE(german.empty()) << id;
        EXPECT_EQ(Placeholders(english), Placeholders(german)) << id;
        for (unsigned char c : german)
            EXPECT_LT(c, 0x80) << "German texts are plain ASCII, no umlauts: " << id;
    }
    EXPECT_EQ(Text(100, Language::English), "");
    EXPECT_EQ(Text(128, Language::German), "");
}

TEST(StringTables, SampleTextsExactly)
{
    const std::map<int, std::pair<std::string, std::string>> samples = {
        {IDS_START, {"start", "Start"}},
        {IDS_UNEXPECTED_FORMAT, {"%s\nUnexpected file format.", "%s\n\nUngultiges Dateiformat."}},
        {IDS_CANNOT_OPEN, {"%s\ncouldn't be opened.", "%s\n\nkonnte nicht geoffnet werden."}},
        {IDS_CLOSE_REFUSED,
         {"You tried to end the update prematurely.\nUnfortunately this is not possible.\nPlease be patient.",
          "Es wurde versucht das Update vorzeitig zu beenden.\nDies ist leider nicht moglich.\nBitte haben Sie "
          "noch etwas Geduld."}},
        {IDS_NOT_COMPATIBLE_4, {" ", " "}},
        {IDS_FILE_LOADED, {"%s compatible fimware file loaded.", "%s kompatible Firmwaredatei geladen."}},
        {IDS_FILE_REFUSED, {"Firmware update refused", "Aus Sicherheitsgrunden kann ein Update "}},
        {IDS_FILE_FAULTY_3, {" ", "nicht ausgefuhrt werden."}},
        {IDS_NOT_USED, {"wird nicht verwendet", "wird nicht verwendet"}},
    };
    for (const auto& [id, texts] : samples) {
        EXPECT_EQ(Text(id, Language::English), texts.first) << id;
        EXPECT_EQ(Text(id, Language::German), texts.second) << id;
    }
}

TEST(StringTables, FormatSubstitutesInOrderAndNeverRereadsArguments)
{
    EXPECT_EQ(FormatText("%s  %s", {"2003", "V1.0"}), "2003  V1.0");
    EXPECT_EQ(FormatText("%d COM port(s) found", {"3"}), "3 COM port(s) found");
    EXPECT_EQ(FormatText("100%% of %s", {"%s%d"}), "100% of %s%d");
    EXPECT_EQ(FormatText("%s and %s", {"one"}), "one and ");
    EXPECT_EQ(FormatText("a %s b", {std::string_view("V1\0junk", 7)}), "a V1 b");
    EXPECT_EQ(FormatText("trailing %", {}), "trailing %");
}

TEST(Language, GermanOnlyWhenTheMessageLocaleIsGerman)
{
    struct Case {
        const char* language;
        const char* all;
        const char* messages;
        const char* lang;
        Language expected;
    } cases[] = {
        {nullptr, nullptr, nullptr, nullptr, Language::English},
        {nullptr, nullptr, nullptr, "de_DE.UTF-8", Language::German},
        {nullptr, nullptr, nullptr, "de", Language::German},
        {nullptr, nullptr, nullptr, "den_XX", Language::English},
        {nullptr, nullptr, nullptr, "en_US.UTF-8", Language::English},
        {nullptr, nullptr, "de_AT.UTF-8", "en_US.UTF-8", Language::German},
        {nullptr, "en_GB.UTF-8", "de_DE.UTF-8", "de_DE.UTF-8", Language::English},
        {nullptr, "de_CH.UTF-8", nullptr, "en_US.UTF-8", Language::German},
        {"de", nullptr, nullptr, "en_US.UTF-8", Language::German},
        {"fr:de", nullptr, nullptr, "en_US.UTF-8", Language::German},
        {"en:de", nullptr, nullptr, "de_DE.UTF-8", Language::English},
        {"de", nullptr, nullptr, "C", Language::English},   // LANGUAGE is ignored in the C locale
        {"de", nullptr, nullptr, nullptr, Language::English},
        {"fr", nullptr, nullptr, "de_DE.UTF-8", Language::English},  // no table for any entry: as written
        {"", nullptr, nullptr, "de_DE@euro", Language::German},
    };
    for (const Case& c : cases) {
        LocaleEnvironment env(c.language, c.all, c.messages, c.lang);
        EXPECT_EQ(LanguageFromEnvironment(), c.expected)
            << "LANGUAGE=" << (c.language ? c.language : "-") << " LC_ALL=" << (c.all ? c.all : "-")
            << " LC_MESSAGES=" << (c.messages ? c.messages : "-") << " LANG=" << (c.lang ? c.lang : "-");
    }
}

namespace {

int64_t Seconds(double s)
{
    return static_cast<int64_t>(s * static_cast<double>(g_counterFrequency));
}

}  // namespace

TEST(TransferClock, RemainingTimeTextsInBothLanguages)
{
    for (Language language : {Language::English, Language::German}) {
        SetLanguage(language);
        CTransferClock clock;
        clock.Start();
        const bool en = language == Language::English;
        EXPECT_EQ(clock.FormatRemainingAfter(Seconds(30), 10), en ? "4 min 30 sec " : "4 Min. 30 Sek. ");
        // 59.9 s count as 59: 59 x 50 / 50.
        EXPECT_EQ(clock.FormatRemainingAfter(Seconds(59.9), 50), en ? "59 sec " : "59 Sek. ");
        EXPECT_EQ(clock.FormatRemainingAfter(Seconds(100), 50), en ? "1 min 40 sec " : "1 Min. 40 Sek. ");
        EXPECT_EQ(clock.FormatDuration(7200), en ? "2 h " : "2 Std. ");
        EXPECT_EQ(clock.FormatDuration(90000), en ? "1 h " : "1 Std. ");  // whole days are dropped
        EXPECT_EQ(clock.LastParts().hours, 1);
        EXPECT_EQ(clock.FormatDuration(3661), en ? "1 h 1 min 1 sec " : "1 Std. 1 Min. 1 Sek. ");
        EXPECT_EQ(clock.FormatDuration(0), "");
        EXPECT_EQ(clock.FormatRemainingAfter(Seconds(0.5), 10), "");  // within the first second
    }
    SetLanguage(Language::English);
}

TEST(TransferClock, NoEstimateWithoutProgressAndPartsKept)
{
    SetLanguage(Language::English);
    CTransferClock clock;
    clock.Start();
    clock.FormatDuration(3723);
    EXPECT_EQ(clock.FormatRemaining(0), "");
    EXPECT_EQ(clock.FormatRemaining(-5), "");
    EXPECT_EQ(clock.LastParts().hours, 1);
    EXPECT_EQ(clock.LastParts().minutes, 2);
    EXPECT_EQ(clock.LastParts().seconds, 3);
    EXPECT_EQ(clock.FormatRemaining(100), "");  // nothing left at 100 %
}

TEST(TransferClock, ElapsedIsWallClockSecondsSinceStart)
{
    SetLanguage(Language::English);
    CTransferClock clock;
    EXPECT_EQ(clock.FormatDuration(5), "5  ");  // units come with Start
    clock.Start();
    EXPECT_EQ(clock.FormatElapsedAt(clock.StartTime() + 125), "2 min 5 sec ");
    EXPECT_EQ(clock.FormatElapsedAt(clock.StartTime()), "");
}
