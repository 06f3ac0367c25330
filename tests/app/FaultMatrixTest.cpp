// Faults of the simulated device through the real window and a device
// process, a sample of each kind of end: the outcome with its texts and
// step, what the device heard after the last line, and then a clean update
// of the same window with an image equal to the file. Every fault at every
// place goes through the operations in FaultTableTest; the table itself is
// in FaultTable.h.

#include "FaultMatrix.h"

#include "DeviceRecords.h"
#include "FirmwareMaker.h"
#include "app/workflow/StringTable.h"

#include <QtTest>

using namespace faults;

// Rows of the table by name.
const MatrixRow& Row(const char* name, int count = 0)
{
    for (const MatrixRow& row : kMatrix) {
        if (std::string(row.kind) == name && row.count == count)
            return row;
    }
    qFatal("no row %s", name);
}

class FaultMatrixTest : public QObject {
    Q_OBJECT

private:
    void Run(const FaultRun& run)
    {
        std::string report;
        if (!RunFaultCase(run, m_file, report))
            QFAIL(report.c_str());
    }

    CTempDir m_dir;
    std::string m_file;

private slots:
    void initTestCase()
    {
        SetLanguage(Language::English);
        m_file = WriteFirmware(m_dir.Path(), "faults.CVF", SmallFirmware());
    }

    // A sample of the transfer's ends, one of each kind.
    void Transfer_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("line");
        const auto add = [](const MatrixRow& row, int line) {
            QTest::newRow((Name(row) + " at line " + std::to_string(line)).c_str())
                << static_cast<int>(&row - kMatrix) << line;
        };
        add(Row("silence"), kMiddleLine);
        add(Row("flash"), kBlockEnd);
        add(Row("reject", 3), kMiddleLine);
        add(Row("reject", 4), kFirstLine);
        add(Row("cf"), kFileEnd);
        add(Row("hangup"), kMiddleLine);
        add(Row("badsum"), kFileEnd);
    }
    void Transfer()
    {
        QFETCH(int, row);
        QFETCH(int, line);
        Run(AtLine(kMatrix[row], line));
    }

    // And of the search's, at each of its commands and the closing ones.
    void Search_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<QString>("command");
        const auto add = [](const MatrixRow& row, const char* command) {
            QTest::newRow((Name(row) + " at " + command).c_str())
                << static_cast<int>(&row - kMatrix) << QString::fromLatin1(command);
        };
        add(Row("badsum"), "ASP");
        add(Row("wrongindex"), "PSD");
        add(Row("ffversion"), "EAE");
        add(Row("bytewise"), "PSD");
        add(Row("garbage"), "RST");
        add(Row("trailing"), "DPZ");
    }
    void Search()
    {
        QFETCH(int, row);
        QFETCH(QString, command);
        Run(AtCommand(kMatrix[row], command.toStdString()));
    }

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
