// Every fault the simulated device can make, at four places of the
// transfer and at each command, through the real window: the outcome with
// its texts and step, what the device heard after the last line, and then
// a clean update of the same window with an image equal to the file. The
// matrix itself is in FaultMatrix.h.

#include "FaultMatrix.h"

#include "DeviceRecords.h"
#include "FirmwareMaker.h"
#include "app/workflow/StringTable.h"

#include <QtTest>

using namespace faults;

class FaultMatrixTest : public QObject {
    Q_OBJECT

private:
    void AddRows()
    {
        QTest::addColumn<int>("row");
        for (size_t i = 0; i < std::size(kMatrix); ++i)
            QTest::newRow(Name(kMatrix[i]).c_str()) << static_cast<int>(i);
    }
    void Run(const FaultRun& run)
    {
        std::string report;
        if (!RunFaultCase(run, m_file, report))
            QFAIL(report.c_str());
    }
    void Line(int line)
    {
        QFETCH(int, row);
        Run(AtLine(kMatrix[row], line));
    }
    void Command(const char* word)
    {
        QFETCH(int, row);
        Run(AtCommand(kMatrix[row], word));
    }

    CTempDir m_dir;
    std::string m_file;

private slots:
    void initTestCase()
    {
        SetLanguage(Language::English);
        m_file = WriteFirmware(m_dir.Path(), "faults.CVF", SmallFirmware());
    }

    void FirstLine_data() { AddRows(); }
    void FirstLine() { Line(kFirstLine); }
    void MiddleLine_data() { AddRows(); }
    void MiddleLine() { Line(kMiddleLine); }
    void BlockEnd_data() { AddRows(); }
    void BlockEnd() { Line(kBlockEnd); }
    void FileEnd_data() { AddRows(); }
    void FileEnd() { Line(kFileEnd); }
    void Asp_data() { AddRows(); }
    void Asp() { Command("ASP"); }
    void Psd_data() { AddRows(); }
    void Psd() { Command("PSD"); }
    void Eae_data() { AddRows(); }
    void Eae() { Command("EAE"); }
    void Rst_data() { AddRows(); }
    void Rst() { Command("RST"); }
    void Dpz_data() { AddRows(); }
    void Dpz() { Command("DPZ"); }

    void NotInUpdateMode()
    {
        FaultRun run;
        run.deviceArgs = {"--no-update-mode"};
        run.search = O::NoDevice;
        Run(run);
    }
};

QTEST_MAIN(FaultMatrixTest)
#include "FaultMatrixTest.moc"
