#include "app/workflow/Outcome.h"

#include "app/workflow/StringTable.h"
#include "link/DeviceLink.h"

#include <iterator>

namespace {

constexpr std::array<int, 4> kInOrder = {1, 2, 3, 4};
constexpr std::array<std::string_view, 2> kNothing = {};
constexpr std::array<std::string_view, 2> kRestart = {REQUEST_RESTART, {}};
constexpr std::array<std::string_view, 2> kAbortAndRestart = {REQUEST_ABORT, REQUEST_RESTART};
constexpr StatusLines kKeepAll = {KEEP_LINE, KEEP_LINE, KEEP_LINE, KEEP_LINE};
constexpr StatusLines kFaultyFile = {IDS_FILE_FAULTY, IDS_FILE_REFUSED, IDS_FILE_FAULTY_3, IDS_CLICK_LOAD_NEW};
constexpr StatusLines kIncomplete = {IDS_INCOMPLETE, IDS_CONNECTION_LOST, IDS_DEVICE_OPERATIONAL, IDS_CLICK_REPEAT};

// In the order of Outcome.
constexpr OutcomeRow kOutcomes[] = {
    {Outcome::Loaded, "loaded", {IDS_NONE, IDS_NONE, IDS_NONE, IDS_CLICK_CONTINUE}, kInOrder, IDS_CONTINUE, kNothing,
     StepFindDevice, 0},
    {Outcome::LoadFaulty, "faulty", kFaultyFile, kInOrder, IDS_LOAD_FILE, kNothing, StepLoadFile, 2},
    // The message box IDS_CANNOT_OPEN comes first.
    {Outcome::CannotOpen, "cannot_open", kFaultyFile, kInOrder, IDS_LOAD_FILE, kNothing, StepLoadFile, 2},
    {Outcome::LoadStopped, "stopped", kKeepAll, kInOrder, IDS_LOAD_FILE, kNothing, StepLoadFile, 130},
    // Set at once on the window thread; the caption stays "continue".
    {Outcome::NoPort, "no_port", LINES_NO_PORT, kInOrder, IDS_NONE, kNothing, StepFindDevice, 3},
    {Outcome::NoDevice, "no_device", {IDS_NO_DEVICE, IDS_PORT_IN_USE, IDS_IN_UPDATE_MODE, IDS_CLICK_SEARCH_AGAIN},
     kInOrder, IDS_CONTINUE, kNothing, StepFindDevice, 4},
    {Outcome::Incompatible, "incompatible", {IDS_DEVICE_FOUND, IDS_NOT_COMPATIBLE, IDS_UPDATE_REFUSED, IDS_NOT_COMPATIBLE_4},
     kInOrder, IDS_LOAD_FILE, kNothing, StepLoadFile, 5},
    // "Yes" and "No" take the main button's place.
    {Outcome::Compatible, "compatible",
     {IDS_COMPATIBLE_FOUND, IDS_CURRENT_VERSION, LINE_DEVICE_VERSION, IDS_UPDATE_QUESTION}, {2, 4, 1, 3}, IDS_NONE,
     kNothing, StepTransfer, 0},
    {Outcome::SearchStopped, "stopped", kKeepAll, kInOrder, IDS_CONTINUE, kNothing, StepFindDevice, 130},
    {Outcome::Done, "done", {IDS_UPDATE_ENDED, IDS_DEVICE_REBOOTED, IDS_UPDATE_TIME, IDS_NONE}, {1, 2, 4, 3}, IDS_CLOSE,
     kRestart, StepFinished, 0},
    // The connection is taken as lost: nothing would reach the device.
    {Outcome::Interrupted, "incomplete", kIncomplete, kInOrder, IDS_CONTINUE, kNothing, StepFindDevice, 6},
    {Outcome::FlashError, "flash_error",
     {IDS_FLASH_ERROR, IDS_INTERRUPTED_FLASH, IDS_FLASH_ERROR_3, IDS_CLICK_REPEAT_FLASH}, kInOrder, IDS_CONTINUE,
     kAbortAndRestart, StepFindDevice, 8},
    {Outcome::ProtocolError, "write_read_error",
     {IDS_WRITE_READ_ERROR, IDS_INTERRUPTED_WRITE_READ, IDS_WRITE_READ_ERROR_3, IDS_CLICK_REPEAT_WRITE_READ}, kInOrder,
     IDS_CONTINUE, kAbortAndRestart, StepFindDevice, 7},
    // Ended on request with the device still answering: it is told to
    // leave its half-written state, as after a failed exchange.
    {Outcome::TransferStopped, "stopped", kIncomplete, kInOrder, IDS_CONTINUE, kAbortAndRestart, StepFindDevice, 130},
    // "No" to the question after a search: the device is restarted as it
    // is (SendRestart) and nothing is written.
    {Outcome::Declined, "declined", {KEEP_LINE, KEEP_LINE, KEEP_LINE, IDS_CLICK_TO_CLOSE}, kInOrder, IDS_CLOSE,
     kRestart, StepFinished, 1},
    // The command line's own: no window shows it.
    {Outcome::FewerThanExpected, "fewer_than_expected", kKeepAll, kInOrder, IDS_NONE, kNothing, StepFinished, 9},
};
static_assert(std::size(kOutcomes) == static_cast<size_t>(Outcome::FewerThanExpected) + 1);

}  // namespace

const OutcomeRow& OutcomeTable(Outcome outcome)
{
    return kOutcomes[static_cast<size_t>(outcome)];
}

Outcome OutcomeOf(LoadOutcome outcome)
{
    switch (outcome) {
    case LoadOutcome::Loaded: return Outcome::Loaded;
    case LoadOutcome::CannotOpen: return Outcome::CannotOpen;
    case LoadOutcome::Faulty: return Outcome::LoadFaulty;
    case LoadOutcome::Stopped: return Outcome::LoadStopped;
    }
    return Outcome::LoadFaulty;
}

Outcome OutcomeOf(SearchResult result)
{
    switch (result) {
    case SearchResult::NoDevice: return Outcome::NoDevice;
    case SearchResult::Incompatible: return Outcome::Incompatible;
    case SearchResult::Compatible: return Outcome::Compatible;
    case SearchResult::Stopped: return Outcome::SearchStopped;
    }
    return Outcome::NoDevice;
}

Outcome OutcomeOf(TransferResult result)
{
    switch (result) {
    case TransferResult::Done: return Outcome::Done;
    case TransferResult::Interrupted: return Outcome::Interrupted;
    case TransferResult::FlashError: return Outcome::FlashError;
    case TransferResult::ProtocolError: return Outcome::ProtocolError;
    case TransferResult::Stopped: return Outcome::TransferStopped;
    }
    return Outcome::ProtocolError;
}

std::string VersionLine(const std::string& version1, const std::string& version2)
{
    return FormatText("%s  %s", {version2, version1});
}

std::string OutcomeLineText(int id, const OutcomeContext& context)
{
    switch (id) {
    case IDS_NONE:
        return {};
    case LINE_DEVICE_VERSION:
        return context.haveVersion ? VersionLine(context.version1, context.version2) : Text(IDS_NO_VERSION);
    case IDS_DEVICE_REBOOTED:
    case IDS_COMPATIBLE_FOUND:
    case IDS_FILE_LOADED:
        return FormatText(id, context.device);
    case IDS_UPDATE_TIME:
        return FormatText(id, context.elapsed);
    default:
        return Text(id);
    }
}
