#include "FaultTable.h"

namespace faults {

std::string Name(const MatrixRow& row)
{
    return row.count > 0 ? std::string(row.kind) + " x" + std::to_string(row.count) : row.kind;
}

std::string Fault(const MatrixRow& row, const std::string& where, bool always)
{
    std::string fault = std::string(row.kind) + ":" + where;
    if (always)
        fault += ":always";
    else if (row.count > 0)
        fault += ":" + std::to_string(row.count);
    return fault;
}

namespace {

// What the device hears after the last line for a transfer outcome.
std::vector<std::string> Closing(Seen outcome, bool deviceGone)
{
    return deviceGone ? std::vector<std::string>() : ClosingOf(outcome.outcome);
}

bool IsHangup(const MatrixRow& row)
{
    return std::string(row.kind) == "hangup";
}

}  // namespace

FaultRun AtLine(const MatrixRow& r, int line)
{
    FaultRun run;
    run.deviceArgs = {"--fault", Fault(r, std::to_string(line), false)};
    run.search = O::Found;
    run.transfer = r.line;
    run.deviceGone = IsHangup(r);
    run.closing = Closing(r.line, run.deviceGone);
    run.imageWhole = std::string(r.kind) != "cf";
    return run;
}

FaultRun AtCommand(const MatrixRow& r, const std::string& command)
{
    FaultRun run;
    if (command == "ASP" || command == "PSD" || command == "EAE") {
        run.deviceArgs = {"--fault", Fault(r, command, true)};
        run.search = command == "ASP" ? r.asp : command == "PSD" ? r.psd : r.eae;
        // A device that hung up during the search is not there for the transfer.
        run.transfer = IsHangup(r) ? O::Incomplete : O::Done;
        run.closing = Closing(run.transfer, false);
    } else if (command == "RST") {
        // The closing restart is not examined: the update is done whatever
        // the device makes of it.
        run.deviceArgs = {"--fault", Fault(r, command, false)};
        run.transfer = O::Done;
        run.closing = {"RST"};
    } else {
        // After a flash error at line 3 the device hears DPZ, then RST.
        run.deviceArgs = {"--fault", "flash:3", "--fault", Fault(r, command, false)};
        run.transfer = O::FlashError;
        run.closing = IsHangup(r) ? std::vector<std::string>{"DPZ"} : std::vector<std::string>{"DPZ", "RST"};
    }
    return run;
}

}  // namespace faults
