#pragma once
// What the user must see when an operation ends: for each way it can end,
// the four status lines and the main button's caption as the texts
// themselves, the step the window goes on with, and what the device hears
// afterwards. Written out here once for every suite, and on purpose not
// taken from the program's own outcome table: this is what that table must
// give. The device in the texts is the test files' "Demo Controller".

#include "app/workflow/Outcome.h"
#include "app/workflow/StringTable.h"

#include <array>
#include <string>
#include <vector>

struct ExpectedScreen {
    // Lines 1..4 in English; nullptr: the line stays as it was.
    std::array<const char*, 4> lines;
    // The main button's caption; nullptr: not shown, or as it was.
    const char* caption;
    // The same in German; all nullptr where no suite looks at them.
    std::array<const char*, 4> linesGerman;
    const char* captionGerman;
    // 0, or the line whose text above is only its beginning (the time an
    // update took, or the device's version, which a test may name).
    int openLine;
    WorkflowStep step;
    // What the device hears after the last firmware line.
    std::array<const char*, 2> closing;
};

// The screen after each outcome.
const ExpectedScreen& Expected(Outcome outcome);
// The instructions after "start".
extern const ExpectedScreen kInstructions;
// Line 3 of Outcome::Compatible when the device gave no version.
inline constexpr const char* kNoVersion = "No version available";
// The message when closing is refused while a worker runs.
inline constexpr const char* kCloseRefused =
    "You tried to end the update prematurely.\nUnfortunately this is not possible.\nPlease be patient.";

// Empty when lines, caption and step are those of the screen in the
// current language; otherwise what differs, one line each. version, when
// given, is the whole of line 3 of Outcome::Compatible.
std::string Mismatch(const ExpectedScreen& expected, const std::array<std::string, 4>& lines,
                     const std::string& caption, int step, const char* version = nullptr);

// The commands of the closing, as Requests() names them.
std::vector<std::string> ClosingOf(Outcome outcome);
