// Every fault the simulated device can make, at four places of the
// transfer and at each command, through the real window: the outcome with
// its texts and step, what the device heard after the last line, and then
// a clean update of the same window with an image equal to the file.

#include "WindowDriver.h"

#include "FirmwareMaker.h"
#include "app/workflow/StringTable.h"

#include <QtTest>

namespace {

using O = Outcome;

// What a fault leads to, by where it strikes. Lines: the fault fires once
// (the "reject" rows N times). Commands: ASP, PSD and EAE fail on every
// attempt (so the count of a row does not matter there); RST and DPZ once
// (DPZ is reached through a flash error at line 3). The RST and DPZ
// columns are not in the table: whatever the device makes of the closing
// commands, the update is done after RST and a flash error after DPZ.
struct MatrixRow {
    const char* kind;
    int count;        // 0: once at a line; N: N times
    O line;           // at a firmware line
    O asp;            // search outcome with the fault on ASP
    O psd;            // ... on PSD
    O eae;            // ... on EAE
};

// clang-format off
const MatrixRow kMatrix[] = {
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

// What the device hears after the last line for a transfer outcome.
std::vector<std::string> Closing(O outcome, bool deviceGone)
{
    if (deviceGone)
        return {};
    switch (outcome) {
    case O::Done: return {"RST"};
    case O::FlashError:
    case O::Protocol: return {"DPZ", "RST"};
    default: return {};
    }
}

bool IsHangup(const MatrixRow& row)
{
    return std::string(row.kind) == "hangup";
}

}  // namespace

class FaultMatrixTest : public QObject {
    Q_OBJECT

private:
    void AddRows();
    void Run(const FaultRun& run);
    void AtLine(int line);
    void AtCommand(const char* word);

    CTempDir m_dir;
    std::string m_file;

private slots:
    void initTestCase()
    {
        SetLanguage(Language::English);
        m_file = WriteFirmware(m_dir.Path(), "faults.CVF", FaultTestFile());
    }

    void FirstLine_data() { AddRows(); }
    void FirstLine() { AtLine(kFirstLine); }
    void MiddleLine_data() { AddRows(); }
    void MiddleLine() { AtLine(kMiddleLine); }
    void BlockEnd_data() { AddRows(); }
    void BlockEnd() { AtLine(kBlockEnd); }
    void FileEnd_data() { AddRows(); }
    void FileEnd() { AtLine(kFileEnd); }
    void Asp_data() { AddRows(); }
    void Asp() { AtCommand("ASP"); }
    void Psd_data() { AddRows(); }
    void Psd() { AtCommand("PSD"); }
    void Eae_data() { AddRows(); }
    void Eae() { AtCommand("EAE"); }
    void Rst_data() { AddRows(); }
    void Rst() { AtCommand("RST"); }
    void Dpz_data() { AddRows(); }
    void Dpz() { AtCommand("DPZ"); }

    void NotInUpdateMode()
    {
        FaultRun run;
        run.deviceArgs = {"--no-update-mode"};
        run.search = O::NoDevice;
        Run(run);
    }
};

void FaultMatrixTest::AddRows()
{
    QTest::addColumn<int>("row");
    for (size_t i = 0; i < std::size(kMatrix); ++i)
        QTest::newRow(Name(kMatrix[i]).c_str()) << static_cast<int>(i);
}

void FaultMatrixTest::Run(const FaultRun& run)
{
    std::string report;
    const bool held = RunFaultCase(run, m_file, report);
    if (!held)
        QFAIL(report.c_str());
}

void FaultMatrixTest::AtLine(int line)
{
    QFETCH(int, row);
    const MatrixRow& r = kMatrix[row];
    FaultRun run;
    run.deviceArgs = {"--fault", Fault(r, std::to_string(line), false)};
    run.search = O::Found;
    run.transfer = r.line;
    run.deviceGone = IsHangup(r);
    run.closing = Closing(r.line, run.deviceGone);
    run.imageWhole = std::string(r.kind) != "cf";
    Run(run);
}

void FaultMatrixTest::AtCommand(const char* word)
{
    QFETCH(int, row);
    const MatrixRow& r = kMatrix[row];
    const std::string command = word;
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
    Run(run);
}

QTEST_MAIN(FaultMatrixTest)
#include "FaultMatrixTest.moc"
