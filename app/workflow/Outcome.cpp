#include "app/workflow/Outcome.h"

#include "app/workflow/StringTable.h"
#include "link/DeviceLink.h"

#include <iterator>

namespace {

constexpr std::array<std::string_view, 2> kRestart = {REQUEST_RESTART, {}};
constexpr std::array<std::string_view, 2> kAbortAndRestart = {REQUEST_ABORT, REQUEST_RESTART};
constexpr StatusLines kKeepAll = {KEEP_LINE, KEEP_LINE, KEEP_LINE, KEEP_LINE};
constexpr StatusLines kFaultyFile = {IDS_FILE_FAULTY, IDS_FILE_REFUSED, IDS_FILE_FAULTY_3, IDS_CLICK_LOAD_NEW};
constexpr StatusLines kNoDevice = {IDS_NO_DEVICE, IDS_PORT_IN_USE, IDS_IN_UPDATE_MODE, IDS_CLICK_SEARCH_AGAIN};
constexpr StatusLines kIncomplete = {IDS_INCOMPLETE, IDS_CONNECTION_LOST, IDS_DEVICE_OPERATIONAL, IDS_CLICK_REPEAT};

using O = Outcome;
using P = OutcomePhase;
using T = OutcomeTally;

// In the order of Outcome.
constexpr OutcomeRow kOutcomes[] = {
    {.outcome = O::Loaded, .phase = P::Load, .name = "loaded",
     .lines = {IDS_NONE, IDS_NONE, IDS_NONE, IDS_CLICK_CONTINUE}, .caption = IDS_CONTINUE, .next = StepFindDevice},
    {.outcome = O::LoadFaulty, .phase = P::Load, .name = "faulty", .lines = kFaultyFile, .caption = IDS_LOAD_FILE,
     .next = StepLoadFile, .exitStatus = 2},
    {.outcome = O::CannotOpen, .phase = P::Load, .name = "cannot_open", .lines = kFaultyFile,
     .message = IDS_CANNOT_OPEN, .caption = IDS_LOAD_FILE, .next = StepLoadFile, .exitStatus = 2},
    {.outcome = O::LoadStopped, .phase = P::Load, .name = "stopped", .lines = kKeepAll, .caption = IDS_LOAD_FILE,
     .next = StepLoadFile, .exitStatus = 130, .commandLine = {IDS_FLASH_STOPPED}},
    // Set at once on the window thread; the caption stays "continue".
    {.outcome = O::NoPort, .phase = P::Ports, .name = "no_port", .lines = LINES_NO_PORT, .next = StepFindDevice,
     .exitStatus = 3, .tally = T::Failed},
    {.outcome = O::NoDevice, .phase = P::Search, .name = "no_device", .lines = kNoDevice, .caption = IDS_CONTINUE,
     .next = StepFindDevice, .exitStatus = 4, .tally = T::FailedWhenCounted},
    {.outcome = O::Incompatible, .phase = P::Search, .name = "incompatible",
     .lines = {IDS_DEVICE_FOUND, IDS_NOT_COMPATIBLE, IDS_UPDATE_REFUSED, IDS_NOT_COMPATIBLE_4},
     .caption = IDS_LOAD_FILE, .next = StepLoadFile, .exitStatus = 5, .tally = T::Failed},
    // "Yes" and "No" take the main button's place. A dry run ends here and
    // restarts the device as it is, as after "No".
    {.outcome = O::Compatible, .phase = P::Search, .name = "compatible",
     .lines = {IDS_COMPATIBLE_FOUND, IDS_CURRENT_VERSION, LINE_DEVICE_VERSION, IDS_UPDATE_QUESTION},
     .order = {2, 4, 1, 3}, .closing = kRestart, .closingTimeoutMs = RESTART_TIMEOUT_MS, .next = StepTransfer,
     .commandLine = {IDS_FLASH_DRY_RUN_DONE}, .tally = T::UpdatedInDryRun},
    {.outcome = O::SearchStopped, .phase = P::Search, .name = "stopped", .lines = kKeepAll, .caption = IDS_CONTINUE,
     .next = StepFindDevice, .exitStatus = 130, .commandLine = {IDS_FLASH_STOPPED}, .tally = T::Failed},
    {.outcome = O::Done, .phase = P::Transfer, .name = "done",
     .lines = {IDS_UPDATE_ENDED, IDS_DEVICE_REBOOTED, IDS_UPDATE_TIME, IDS_NONE}, .order = {1, 2, 4, 3},
     .caption = IDS_CLOSE, .closing = kRestart, .closingTimeoutMs = CLOSING_TIMEOUT_MS, .next = StepFinished,
     .tally = T::Updated},
    // The connection is taken as lost: nothing would reach the device.
    {.outcome = O::Interrupted, .phase = P::Transfer, .name = "incomplete", .lines = kIncomplete,
     .caption = IDS_CONTINUE, .next = StepFindDevice, .exitStatus = 6, .tally = T::Failed, .retried = true},
    {.outcome = O::FlashError, .phase = P::Transfer, .name = "flash_error",
     .lines = {IDS_FLASH_ERROR, IDS_INTERRUPTED_FLASH, IDS_FLASH_ERROR_3, IDS_CLICK_REPEAT_FLASH},
     .caption = IDS_CONTINUE, .closing = kAbortAndRestart, .closingTimeoutMs = CLOSING_TIMEOUT_MS,
     .next = StepFindDevice, .exitStatus = 8, .tally = T::Failed, .retried = true},
    {.outcome = O::ProtocolError, .phase = P::Transfer, .name = "write_read_error",
     .lines = {IDS_WRITE_READ_ERROR, IDS_INTERRUPTED_WRITE_READ, IDS_WRITE_READ_ERROR_3, IDS_CLICK_REPEAT_WRITE_READ},
     .caption = IDS_CONTINUE, .closing = kAbortAndRestart, .closingTimeoutMs = CLOSING_TIMEOUT_MS,
     .next = StepFindDevice, .exitStatus = 7, .tally = T::Failed, .retried = true},
    // Ended on request with the device still answering: it is told to
    // leave its half-written state, as after a failed exchange.
    {.outcome = O::TransferStopped, .phase = P::Transfer, .name = "stopped", .lines = kIncomplete,
     .caption = IDS_CONTINUE, .closing = kAbortAndRestart, .closingTimeoutMs = CLOSING_TIMEOUT_MS,
     .next = StepFindDevice, .exitStatus = 130, .commandLine = {IDS_FLASH_TRANSFER_STOPPED}, .tally = T::Failed},
    // "No" to the question after a search: the device is restarted as it
    // is and nothing is written.
    {.outcome = O::Declined, .phase = P::Question, .name = "declined",
     .lines = {KEEP_LINE, KEEP_LINE, KEEP_LINE, IDS_CLICK_TO_CLOSE}, .caption = IDS_CLOSE, .closing = kRestart,
     .closingTimeoutMs = RESTART_TIMEOUT_MS, .next = StepFinished, .exitStatus = 1,
     .commandLine = {IDS_FLASH_DECLINED}, .tally = T::NotFailed},
    // The command line's own: no window shows it.
    {.outcome = O::FewerThanExpected, .phase = P::Run, .name = "fewer_than_expected", .lines = kKeepAll,
     .message = IDS_FLASH_FEWER_THAN_EXPECTED, .next = StepFinished, .exitStatus = 9},
    // The device found is told to restart as it is, as after "No".
    {.outcome = O::QuestionStopped, .phase = P::Question, .name = "stopped", .lines = kKeepAll,
     .caption = IDS_CONTINUE, .closing = kRestart, .closingTimeoutMs = RESTART_TIMEOUT_MS, .next = StepFindDevice,
     .exitStatus = 130, .commandLine = {IDS_FLASH_STOPPED}, .tally = T::Failed},
    // Its port is given back as it was before the loss is shown; nothing
    // was written yet, so the window searches again.
    {.outcome = O::LostSearching, .phase = P::Search, .name = "no_device", .lines = kNoDevice, .caption = IDS_CONTINUE, .next = StepFindDevice, .exitStatus = 4,
     .tally = T::Failed},
    // The device may be left half-written, as after a lost connection.
    {.outcome = O::LostTransferring, .phase = P::Transfer, .name = "incomplete", .lines = kIncomplete,
     .caption = IDS_CONTINUE, .next = StepFindDevice, .exitStatus = 6,
     .tally = T::Failed, .retried = true},
};
static_assert(std::size(kOutcomes) == static_cast<size_t>(Outcome::LostTransferring) + 1);

constexpr bool InOrder()
{
    for (size_t i = 0; i < std::size(kOutcomes); ++i) {
        if (static_cast<size_t>(kOutcomes[i].outcome) != i)
            return false;
    }
    return true;
}
static_assert(InOrder(), "the rows stand in the order of Outcome");

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

std::optional<Outcome> OutcomeFromCode(int code)
{
    if (code < 0 || static_cast<size_t>(code) >= std::size(kOutcomes))
        return std::nullopt;
    return static_cast<Outcome>(code);
}

Outcome LostOutcome(bool transferBegun)
{
    return transferBegun ? Outcome::LostTransferring : Outcome::LostSearching;
}

std::vector<std::string> CommandLineLines(Outcome outcome, const OutcomeContext& context)
{
    const OutcomeRow& row = OutcomeTable(outcome);
    std::vector<std::string> lines;
    const bool own = row.commandLine[0] != IDS_NONE;
    for (size_t i = 0; i < 3; ++i) {
        const int id = own ? row.commandLine[i] : row.lines[i];
        if (id == KEEP_LINE || (own && id == IDS_NONE))
            continue;
        std::string text = OutcomeLineText(id, context);
        while (!text.empty() && (text.back() == ' ' || text.back() == '\n'))
            text.pop_back();
        if (!text.empty())
            lines.push_back(std::move(text));
    }
    return lines;
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
