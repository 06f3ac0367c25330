#include "ExpectedTexts.h"

#include <cstdlib>
#include <iterator>

namespace {

constexpr std::array<const char*, 4> kKept = {};
constexpr std::array<const char*, 4> kNoGerman = {};
constexpr std::array<const char*, 2> kNothing = {};
constexpr std::array<const char*, 2> kRestart = {"RST", nullptr};
constexpr std::array<const char*, 2> kAbort = {"DPZ", "RST"};

constexpr std::array<const char*, 4> kFaultyFile = {"The selected file is faulty!", "Firmware update refused", " ",
                                                    "Click the button to load a new file"};
constexpr std::array<const char*, 4> kIncomplete = {"Firmware update is incomplete", "Was the connection interrupted?",
                                                    "Is your device operational?", "Click to repeat the update"};

struct Row {
    Outcome outcome;
    ExpectedScreen screen;
};

// clang-format off
const Row kRows[] = {
    {Outcome::Loaded, {{"", "", "", "Click continue to search for the device."}, "continue",
                       {"", "", "", "Klicken Sie auf Weiter um die Verbindung zum Gerat herzustellen."}, "Weiter",
                       0, StepFindDevice, kNothing}},
    {Outcome::LoadFaulty, {kFaultyFile, "Load file", kNoGerman, nullptr, 0, StepLoadFile, kNothing}},
    // After the message "<path>\ncouldn't be opened.".
    {Outcome::CannotOpen, {kFaultyFile, "Load file", kNoGerman, nullptr, 0, StepLoadFile, kNothing}},
    {Outcome::LoadStopped, {kKept, "Load file", kNoGerman, nullptr, 0, StepLoadFile, kNothing}},
    // Shown at once; the caption stays.
    {Outcome::NoPort, {{"There is no COM port available.", "Close all programs using the COM port and",
                        "search again for the device.", ""}, "continue", kNoGerman, nullptr,
                       0, StepFindDevice, kNothing}},
    {Outcome::NoDevice, {{"No device found!", "Is your COM port used by another program?",
                          "Is device running in update mode?", "Click to search again"}, "continue",
                         kNoGerman, nullptr, 0, StepFindDevice, kNothing}},
    {Outcome::Incompatible, {{"Device found", "Device not compatible", "Firmware update refused", " "}, "Load file",
                             kNoGerman, nullptr, 0, StepLoadFile, kNothing}},
    // Line 3: the device's version. "Yes" and "No" instead of the main button.
    {Outcome::Compatible, {{"Have found a Demo Controller compatible device.", "Current software version:", "",
                            "Would you like to execute the update now?"}, nullptr,
                           {"Demo Controller kompatibles Gerat gefunden.", "Aktuelle Software Version:", "",
                            "Mochten Sie das Update nun ausfuhren?"}, nullptr,
                           3, StepTransfer, kNothing}},
    {Outcome::SearchStopped, {kKept, "continue", kNoGerman, nullptr, 0, StepFindDevice, kNothing}},
    // Line 3: the time the update took.
    {Outcome::Done, {{"Firmware update ended", "The Demo Controller has been rebooted.", "Time for firmware update: ",
                      ""}, "close",
                     {"Firmware Update erfolgreich abgeschlossen.", "Der Demo Controller wurde neu gestartet.",
                      "Zeit fur Firmware Update: ", ""}, "Beenden",
                     3, StepFinished, kRestart}},
    // The connection is taken as lost: the device is told nothing.
    {Outcome::Interrupted, {kIncomplete, "continue", kNoGerman, nullptr, 0, StepFindDevice, kNothing}},
    {Outcome::FlashError, {{"Error writing to flash", "Update interrupted", " ", "Click to repeat the update"},
                           "continue",
                           {"Der Speicher wurde falsch beschrieben.", "Das Update wurde abgebrochen.", " ",
                            "Klicken um Update zu wiederholen"}, "Weiter",
                           0, StepFindDevice, kAbort}},
    {Outcome::ProtocolError, {{"Error in the write-read process", "Update interrupted", " ",
                               "Click to repeat the update"}, "continue", kNoGerman, nullptr,
                              0, StepFindDevice, kAbort}},
    {Outcome::TransferStopped, {kIncomplete, "continue", kNoGerman, nullptr, 0, StepFindDevice, kAbort}},
};
// clang-format on

std::string Quoted(const std::string& text)
{
    return "\"" + text + "\"";
}

}  // namespace

const ExpectedScreen kInstructions = {
    {"Turn your device to update mode", "and connect it to your PC.", "The update will take about 3 to 10 minutes.",
     "Click on the button to load the firmware file"},
    "Load file",
    {"Stellen Sie ihr Gerat auf Firmware Update um und", "verbinden Sie es mit ihrem PC.",
     "Das Update wird ca. 3-10 Minuten dauern!", "Klicken Sie auf die Taste um die Firmware Datei zu laden."},
    "Datei laden",
    0,
    StepLoadFile,
    kNothing,
};

const ExpectedScreen& Expected(Outcome outcome)
{
    for (const Row& row : kRows) {
        if (row.outcome == outcome)
            return row.screen;
    }
    std::abort();  // a way to end that this table does not know
}

std::string Mismatch(const ExpectedScreen& expected, const std::array<std::string, 4>& lines,
                     const std::string& caption, int step, const char* version)
{
    const bool german = CurrentLanguage() == Language::German;
    const auto& want = german ? expected.linesGerman : expected.lines;
    const char* wantCaption = german ? expected.captionGerman : expected.caption;
    if (german && want == kNoGerman && wantCaption == nullptr)
        return "no German texts for this screen in the table\n";

    std::string report;
    for (int n = 1; n <= 4; ++n) {
        const char* text = want[static_cast<size_t>(n - 1)];
        if (text == nullptr)
            continue;
        const std::string& shown = lines[static_cast<size_t>(n - 1)];
        std::string whole = text;
        bool prefix = n == expected.openLine;
        if (prefix && version != nullptr) {
            whole = version;
            prefix = false;
        }
        const bool same = prefix ? shown.compare(0, whole.size(), whole) == 0 : shown == whole;
        if (!same) {
            report += "line " + std::to_string(n) + " is " + Quoted(shown) + ", expected " + Quoted(whole) +
                      (prefix ? "..." : "") + "\n";
        }
    }
    if (wantCaption != nullptr && caption != wantCaption)
        report += "caption is " + Quoted(caption) + ", expected " + Quoted(wantCaption) + "\n";
    if (step != expected.step)
        report += "step is " + std::to_string(step) + ", expected " + std::to_string(expected.step) + "\n";
    return report;
}

std::vector<std::string> ClosingOf(Outcome outcome)
{
    std::vector<std::string> commands;
    for (const char* command : Expected(outcome).closing) {
        if (command != nullptr)
            commands.emplace_back(command);
    }
    return commands;
}
