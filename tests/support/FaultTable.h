#pragma once
// What each fault of the simulated device must lead to, wherever it
// strikes: the whole matrix in one table, for the operations' fault test,
// the window's and the soak.

#include "ExpectedTexts.h"

#include <string>
#include <vector>

// The end of a search or a transfer: an outcome, and for a found device
// whether it gave no version.
struct Seen {
    Outcome outcome;
    bool noVersion = false;
};

// One update against a device with a fault, and what must come of it.
struct FaultRun {
    std::vector<std::string> deviceArgs;   // the fault options of cvf-devsim
    Seen search{Outcome::Compatible};      // after "continue"
    Seen transfer{Outcome::Done};          // after "Yes", when the search found the device
    std::vector<std::string> closing;      // what the device hears after the last line
    bool deviceGone = false;               // the fault ends the device
    bool imageWhole = true;                // a done update left the whole image
};

namespace faults {

// The ends the matrix names.
namespace O {
inline constexpr Seen Done{Outcome::Done};
inline constexpr Seen Incomplete{Outcome::Interrupted};
inline constexpr Seen FlashError{Outcome::FlashError};
inline constexpr Seen Protocol{Outcome::ProtocolError};
inline constexpr Seen NoDevice{Outcome::NoDevice};
inline constexpr Seen Incompatible{Outcome::Incompatible};
inline constexpr Seen Found{Outcome::Compatible};
inline constexpr Seen FoundNoVersion{Outcome::Compatible, true};
}  // namespace O

// What a fault leads to, by where it strikes. Lines: the fault fires once
// (the "reject" rows N times). Commands: ASP, PSD and EAE fail on every
// attempt (so the count of a row does not matter there); RST and DPZ once
// (DPZ is reached through a flash error at line 3). The RST and DPZ
// columns are not in the table: whatever the device makes of the closing
// commands, the update is done after RST and a flash error after DPZ.
struct MatrixRow {
    const char* kind;
    int count;        // 0: once at a line; N: N times
    Seen line;        // at a firmware line
    Seen asp;         // search outcome with the fault on ASP
    Seen psd;         // ... on PSD
    Seen eae;         // ... on EAE
};

// clang-format off
inline constexpr MatrixRow kMatrix[] = {
    // kind          count  line             ASP           PSD              EAE
    {"silence",      0,     O::Incomplete,   O::NoDevice,  O::Incompatible, O::FoundNoVersion},
    {"badsum",       0,     O::Protocol,     O::NoDevice,  O::Incompatible, O::FoundNoVersion},
    {"reject",       1,     O::Done,         O::Found,     O::Incompatible, O::Found},
    {"reject",       2,     O::Done,         O::Found,     O::Incompatible, O::Found},
    {"reject",       3,     O::Done,         O::Found,     O::Incompatible, O::Found},
    {"reject",       4,     O::Protocol,     O::Found,     O::Incompatible, O::Found},
    {"reject",       5,     O::Protocol,     O::Found,     O::Incompatible, O::Found},
    {"flash",        0,     O::FlashError,   O::NoDevice,  O::Incompatible, O::Found},
    {"cf",           0,     O::Done,         O::Found,     O::Incompatible, O::Found},
    {"bytewise",     0,     O::Done,         O::Found,     O::Found,        O::Found},
    {"garbage",      0,     O::Protocol,     O::NoDevice,  O::Incompatible, O::FoundNoVersion},
    {"eot",          0,     O::Incomplete,   O::NoDevice,  O::Incompatible, O::FoundNoVersion},
    {"trailing",     0,     O::Done,         O::Found,     O::Found,        O::Found},
    {"stream",       0,     O::Protocol,     O::NoDevice,  O::Incompatible, O::FoundNoVersion},
    {"hangup",       0,     O::Protocol,     O::NoDevice,  O::Incompatible, O::FoundNoVersion},
    {"wrongindex",   0,     O::Done,         O::Found,     O::Incompatible, O::Found},
    {"noversion",    0,     O::Done,         O::Found,     O::Found,        O::FoundNoVersion},
    {"ffversion",    0,     O::Done,         O::Found,     O::Found,        O::FoundNoVersion},
};
// clang-format on

// The lines of the test file that the four line positions name.
constexpr int kFirstLine = 1;
constexpr int kMiddleLine = 5;
constexpr int kBlockEnd = 9;   // the marker that closes the first block
constexpr int kFileEnd = 18;   // the last marker

// A row's name, e.g. "reject x4".
std::string Name(const MatrixRow& row);
// The --fault option for a row at a line number or a command word.
std::string Fault(const MatrixRow& row, const std::string& where, bool always);
// The run for a row with the fault at a firmware line.
FaultRun AtLine(const MatrixRow& row, int line);
// The run for a row with the fault at ASP, PSD, EAE, RST or DPZ.
FaultRun AtCommand(const MatrixRow& row, const std::string& command);

}  // namespace faults
