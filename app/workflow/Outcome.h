#pragma once
// How each operation can end, and the one table of what follows from each
// ending: the status lines and the main button's caption the window shows,
// the commands the device is sent, the step the window goes on with, and
// the names and exit statuses the command line reports. Every front end
// and every test reads this table.

#include "app/workflow/StringIds.h"

#include <array>
#include <string>
#include <string_view>

enum WorkflowStep { StepWelcome = 0, StepLoadFile = 1, StepFindDevice = 2, StepTransfer = 3, StepFinished = 4 };

// The end of loading a firmware file.
enum class LoadOutcome { Loaded, CannotOpen, Faulty, Stopped };
// The end of a device search.
enum class SearchResult { NoDevice = 0, Incompatible = 1, Compatible = 2, Stopped = 3 };
// The end of a transfer. Stopped: ended early on request after a line's
// reply; the device is told to leave its half-written state.
enum class TransferResult { Done = 1, Interrupted = 2, FlashError = 3, ProtocolError = 4, Stopped = 5 };

enum class Outcome {
    Loaded,
    LoadFaulty,
    CannotOpen,
    LoadStopped,
    NoPort,
    NoDevice,
    Incompatible,
    Compatible,
    SearchStopped,
    Done,
    Interrupted,
    FlashError,
    ProtocolError,
    TransferStopped,
    Declined,
    // A run of the command line in which fewer devices were updated than
    // it was told to expect (and nothing else went wrong).
    FewerThanExpected,
};

Outcome OutcomeOf(LoadOutcome outcome);
Outcome OutcomeOf(SearchResult result);
Outcome OutcomeOf(TransferResult result);

// A status-line entry that is not a string ID: the device's version as
// "%s  %s" (second half first), or IDS_NO_VERSION when it gave none.
inline constexpr int LINE_DEVICE_VERSION = -1;

struct OutcomeRow {
    Outcome outcome;
    const char* name;          // as the command line reports it
    StatusLines lines;         // lines 1..4 (IDS_NONE empties one)
    std::array<int, 4> order;  // the order the lines are shown in
    int caption;               // main button afterwards; IDS_NONE: the button stays as it is
    std::array<std::string_view, 2> closing;  // request bodies sent to the device afterwards, in order
    WorkflowStep next;         // the window's step afterwards
    int exitStatus;            // of the command line when this is how it ends
};

const OutcomeRow& OutcomeTable(Outcome outcome);

// What fills the placeholders of an outcome's lines.
struct OutcomeContext {
    std::string device;         // %s of IDS_DEVICE_REBOOTED, IDS_COMPATIBLE_FOUND, IDS_FILE_LOADED
    std::string elapsed;        // %s of IDS_UPDATE_TIME
    bool haveVersion = false;   // LINE_DEVICE_VERSION: the version or IDS_NO_VERSION
    std::string version1;
    std::string version2;
};

// The text of one status-line entry in the current language.
std::string OutcomeLineText(int id, const OutcomeContext& context);
// "%s  %s": the second text first, two blanks, then the first.
std::string VersionLine(const std::string& version1, const std::string& version2);
