#pragma once
// How each operation can end, and the one table of what follows from each
// ending: the status lines, the message box and the main button's caption
// the window shows, the commands the device is sent afterwards, the step
// the window goes on with, the lines, names and exit statuses the command
// line reports and how its summary counts it. Every front end, the device
// process and the tests read this table; nothing else maps an outcome to
// a text or a command.

#include "app/workflow/StringIds.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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
    // Asked to end while the found device waited for the answer.
    QuestionStopped,
    // The device process was lost (crashed, killed) during the search, or
    // once the transfer had begun.
    LostSearching,
    LostTransferring,
};

// Which part of an update ends this way.
enum class OutcomePhase { Load, Ports, Search, Question, Transfer, Run };

// How the command line's summary counts a device that ended this way.
enum class OutcomeTally {
    None,               // not a device's end
    Updated,            // written
    UpdatedInDryRun,    // found compatible, which is what a dry run is for
    NotFailed,          // ended as the user chose
    FailedWhenCounted,  // "no device": failed only where a device was expected
    Failed,
};

Outcome OutcomeOf(LoadOutcome outcome);
Outcome OutcomeOf(SearchResult result);
Outcome OutcomeOf(TransferResult result);

// A status-line entry that is not a string ID: the device's version as
// "%s  %s" (second half first), or IDS_NO_VERSION when it gave none.
inline constexpr int LINE_DEVICE_VERSION = -1;

struct OutcomeRow {
    Outcome outcome;
    OutcomePhase phase;
    const char* name;                     // as the command line reports it
    StatusLines lines;                    // lines 1..4 (IDS_NONE empties one, KEEP_LINE keeps it)
    std::array<int, 4> order = {1, 2, 3, 4};  // the order the lines are shown in
    int message = IDS_NONE;               // told first: the window's message box, the command line's error
                                          // ("%s": the file's path)
    int caption = IDS_NONE;               // main button afterwards; IDS_NONE: the button stays as it is
    std::array<std::string_view, 2> closing = {};  // request bodies sent to the device afterwards, in order
    uint32_t closingTimeoutMs = 0;        // each closing request's time-out
    WorkflowStep next = StepFindDevice;   // the window's step afterwards
    int exitStatus = 0;                   // of the command line when this is how it ends
    std::array<int, 3> commandLine = {};  // the command line's lines; none: the window's lines 1 to 3
    OutcomeTally tally = OutcomeTally::None;
    bool retried = false;                 // --retry repeats the update after it
};

const OutcomeRow& OutcomeTable(Outcome outcome);
// The outcome a code from a device process stands for; none when it is no
// outcome at all.
std::optional<Outcome> OutcomeFromCode(int code);
// How an update ends whose device process was lost, by how far it got.
Outcome LostOutcome(bool transferBegun);

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
// The lines the command line shows for an outcome: its own, or lines 1 to
// 3 of the window (empty ones left out, trailing blanks cut).
std::vector<std::string> CommandLineLines(Outcome outcome, const OutcomeContext& context);
// "%s  %s": the second text first, two blanks, then the first.
std::string VersionLine(const std::string& version1, const std::string& version2);
