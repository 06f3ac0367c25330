// Every fault of the fault table at every place, through the search and
// the transfer operations over a device in memory: the outcome, whether a
// version was read, what the device heard after the last line and the
// image it kept. In milliseconds: the device's clock moves only when the
// link waits. (The window goes through a sample of these in
// FaultMatrixTest.)

#include "DeviceRecords.h"
#include "FaultTable.h"
#include "MemoryDevice.h"

#include "app/workflow/Operations.h"
#include "app/workflow/StringTable.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace faults;

class FaultTableTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetLanguage(Language::English);
        m_file = WriteFirmware(m_dir.Path(), "faults.CVF", SmallFirmware());
        CFirmwareFile file;
        ASSERT_TRUE(file.Open(m_file.c_str()));
        LoadRequest request;
        request.keepLines = true;
        m_walk = LoadFirmwareData(file, request);
        ASSERT_TRUE(m_walk.Good());
    }

    // The device of a run: cvf-devsim's options, as far as a device in
    // memory takes them.
    static CMemoryDevice::Options OptionsOf(const FaultRun& run)
    {
        CMemoryDevice::Options options;
        for (size_t i = 0; i < run.deviceArgs.size(); ++i) {
            if (run.deviceArgs[i] == "--fault" && i + 1 < run.deviceArgs.size())
                options.faults.push_back(run.deviceArgs[++i]);
            else if (run.deviceArgs[i] == "--no-update-mode")
                options.identity.updateMode = false;
        }
        return options;
    }

    // Runs it; what differs from the table, one line each.
    std::string Check(const FaultRun& run)
    {
        CMemoryDevice device(OptionsOf(run));
        CMemoryPorts ports;
        ports.Attach("/dev/memory0", device);
        CDeviceLink link(ports);
        COperationObserver quiet;
        CStopRequest stop;
        std::string report;

        CSearchOperation search(link, {{"COM5", "/dev/memory0"}}, m_walk.index);
        const Outcome found = OutcomeOf(search.Run(quiet, stop));
        if (found != run.search.outcome || (found == Outcome::Compatible && search.HaveVersion() == run.search.noVersion))
            report += "search ended " + std::string(OutcomeTable(found).name) + (search.HaveVersion() ? "" : " without a version") +
                      ", expected " + OutcomeTable(run.search.outcome).name + "\n";
        if (found != Outcome::Compatible || run.search.outcome != Outcome::Compatible)
            return report;

        CTransferOperation transfer(link, m_walk.data, static_cast<uint32_t>(m_walk.totalBytes));
        const Outcome ended = OutcomeOf(transfer.Run(quiet, stop));
        if (ended != run.transfer.outcome)
            report += "transfer ended " + std::string(OutcomeTable(ended).name) + ", expected " +
                      OutcomeTable(run.transfer.outcome).name + "\n";
        if (device.RequestsAfterLines() != run.closing)
            report += "the device heard something else after the last line\n";
        if (ended == Outcome::Done && run.imageWhole && device.Image() != ImageOfFile(m_file))
            report += "the device's image differs from the file\n";
        return report;
    }

    CTempDir m_dir;
    std::string m_file;
    LoadResult m_walk;
};

TEST_F(FaultTableTest, EveryFaultAtEveryPlace)
{
    for (const MatrixRow& row : kMatrix) {
        for (const int line : {kFirstLine, kMiddleLine, kBlockEnd, kFileEnd})
            EXPECT_EQ(Check(AtLine(row, line)), "") << Name(row) << " at line " << line;
        for (const char* command : {"ASP", "PSD", "EAE", "RST", "DPZ"})
            EXPECT_EQ(Check(AtCommand(row, command)), "") << Name(row) << " at " << command;
    }
    FaultRun asleep;
    asleep.deviceArgs = {"--no-update-mode"};
    asleep.search = O::NoDevice;
    EXPECT_EQ(Check(asleep), "");
}

}  // namespace
