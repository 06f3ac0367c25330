// Whole updates through the real dialog against the simulated device on a
// pseudo-terminal: the search and the question, the transfer with its
// progress, the end and what the device received; "No", closing after
// the search, closing refused while the work runs; German texts of an
// update and of a failed one.

#include "DialogTestSupport.h"
#include "DeviceRecords.h"
#include "app/EndSignals.h"
#include "app/workflow/EndSignalSet.h"

#include <QLabel>
#include <QtTest>

#include <map>
#include <csignal>
#include <random>
#include <sstream>

using namespace apptest;

namespace {

constexpr int kSampleBytes = 3 * 8192;

// The sample's content: bytes from a fixed seed, with the version record
// cvf-make puts 0x1000 above the start: "V2.4.1", NUL, "2026-11", zeros.
std::vector<uint8_t> SampleImage()
{
    std::vector<uint8_t> image(kSampleBytes);
    std::mt19937 random(20261104);
    for (uint8_t& byte : image)
        byte = static_cast<uint8_t>(random());
    return image;
}

std::vector<uint8_t> WithVersionRecord(std::vector<uint8_t> image)
{
    const std::string record = std::string("V2.4.1") + '\0' + "2026-11";
    std::fill_n(image.begin() + 0x1000, 32, uint8_t{0});
    std::copy(record.begin(), record.end(), image.begin() + 0x1000);
    return image;
}

// The requests the device received, in order: command words, and FW for
// each firmware line.
QStringList Received(const CSimDevice& device)
{
    QStringList words;
    for (const std::string& word : Requests(device))
        words << QString::fromStdString(word);
    return words;
}

QStringList Commands(const CSimDevice& device)
{
    QStringList commands = Received(device);
    commands.removeAll(QStringLiteral("FW"));
    return commands;
}

// Records the positions the transfer posts for the bar.
class CProgressRecorder : public QObject {
public:
    QList<int> values;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (static_cast<int>(event->type()) == UWM_SET_PROGRESS)
            values << static_cast<CWorkflowEvent*>(event)->Value();
        return false;
    }
};

}  // namespace

class DeviceTest : public CDialogSuite {
    Q_OBJECT
private slots:
    void fullUpdate();
    void noRestartsTheDeviceAndOffersClose();
    void closingAfterTheSearchRestartsTheDevice();
    void closeIsRefusedWhileSearchingAndTransferring();
    void germanUpdate();
    void germanFlashErrorThenRepeatedUpdate();
    void endSignalDuringTheTransferWindsDown();
    void endSignalWhileLoadingCloses();

private:
    // A device with these extra options, and a shown dialog that sees
    // only its port and is given the file through the file dialog.
    void SetUpDevice(const std::vector<std::string>& deviceArgs, const MakerOptions& file = SmallFile());
    // start, Load file (the file), continue: ends with the question.
    void LoadAndSearch();
    static MakerOptions SmallFile();

    void ResetMore() override { m_device.reset(); }

    std::unique_ptr<CSimDevice> m_device;
    std::string m_filePath;
};

MakerOptions DeviceTest::SmallFile()
{
    // One block, enough for the version record; the transfer takes a
    // third of the sample's time.
    MakerOptions options;
    options.blocks = 1;
    return options;
}

void DeviceTest::SetUpDevice(const std::vector<std::string>& deviceArgs, const MakerOptions& file)
{
    std::vector<std::string> args = {"--version", "OLD-V1.9OLD-2025", "--image-out", "image.txt"};
    args.insert(args.end(), deviceArgs.begin(), deviceArgs.end());
    m_device = std::make_unique<CSimDevice>(args);
    QVERIFY2(m_device->IsReady(), m_device->ReadyLine().c_str());

    m_filePath = m_dir->WriteFirmware("firmware.CVF", file);
    QVERIFY(!m_filePath.empty());

    const std::string ports = std::filesystem::path(m_device->LinkPath()).parent_path().string();
    m_dialog = std::make_unique<CTestDialog>(ports, m_dir->Path());
    m_dialog->UseFileDialog();
    m_dialog->NextFile(m_filePath);
    m_dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dialog.get()));
}

void DeviceTest::LoadAndSearch()
{
    CTestDialog& dialog = *m_dialog;
    QVERIFY(dialog.Load(m_filePath));
    QCOMPARE(dialog.m_btnMain.text(), Tr(IDS_CONTINUE));

    QVERIFY(dialog.Search());
    QCOMPARE(dialog.Step(), StepTransfer);
    QVERIFY(dialog.m_btnYes.isVisible());
    QVERIFY(dialog.m_btnNo.isVisible());
    QVERIFY(dialog.m_btnMain.isHidden());
    QVERIFY(dialog.m_progress.isHidden());
    QCOMPARE(dialog.Pane(ID_PANE_PORT)->text(), QStringLiteral("COM5"));
    // "Yes" shares the main button's click gate; the search outlasts it,
    // so a click the moment the question appears counts.
    QVERIFY(dialog.Workflow().m_bClickReady != 0);
}

void DeviceTest::fullUpdate()
{
    MakerOptions file;
    file.image = SampleImage();
    SetUpDevice({}, file);
    CTestDialog& dialog = *m_dialog;
    CProgressRecorder progress;
    dialog.installEventFilter(&progress);

    LoadAndSearch();
    QVERIFY_SHOWS(dialog, Outcome::Compatible, "OLD-2025  OLD-V1.9");
    Shoot(dialog, QStringLiteral("3-found"));

    // Held half-way to see the transfer as it runs.
    dialog.HoldAtProgress(50);
    MouseClick(dialog.m_btnYes);
    QTRY_VERIFY(dialog.IsHeld());
    QCoreApplication::sendPostedEvents();
    QCOMPARE(dialog.m_lblStatus1.text(), QStringLiteral("Firmware update started"));
    QCOMPARE(dialog.m_lblStatus2.text(), QStringLiteral("Remaining time:"));
    QCOMPARE(dialog.m_lblStatus4.text(), QStringLiteral("transferred"));
    QVERIFY(dialog.m_progress.isVisible());
    QVERIFY(dialog.m_btnYes.isHidden() && dialog.m_btnNo.isHidden() && dialog.m_btnMain.isHidden());
    QCOMPARE(dialog.Step(), StepFinished);
    QVERIFY2(dialog.m_progress.GetPos() > 40 && dialog.m_progress.GetPos() < 50,
             qPrintable(QString::number(dialog.m_progress.GetPos())));
    Shoot(dialog, QStringLiteral("4-transferring"));
    dialog.Release();

    QVERIFY(dialog.WaitIdle());
    QVERIFY_SHOWS(dialog, Outcome::Done);
    QVERIFY2(dialog.m_lblStatus3.text().contains(QStringLiteral(" sec")), qPrintable(dialog.m_lblStatus3.text()));
    QVERIFY(dialog.m_btnMain.isVisible());
    QVERIFY(dialog.m_progress.isHidden());
    QVERIFY(!dialog.Workflow().m_file.IsOpen());
    Shoot(dialog, QStringLiteral("5-done"));

    // The bar went up to 100 without going back.
    QVERIFY(!progress.values.isEmpty());
    QCOMPARE(progress.values.last(), 100);
    QVERIFY(std::is_sorted(progress.values.begin(), progress.values.end()));

    // The device holds the file's data, byte for byte, and was restarted
    // at the end.
    const std::vector<uint8_t> expected = WithVersionRecord(SampleImage());
    const std::map<unsigned, unsigned> written = ReadDeviceImage(m_device->File("image.txt"));
    QCOMPARE(int(written.size()), kSampleBytes);
    int differences = 0;
    for (const auto& [address, byte] : written) {
        if (address >= unsigned{kSampleBytes} || expected[address] != byte)
            ++differences;
    }
    QCOMPARE(differences, 0);
    QCOMPARE(Received(*m_device).last(), QStringLiteral("RST"));
    QCOMPARE(Commands(*m_device).count(QStringLiteral("RST")), 1);
    QVERIFY(!Commands(*m_device).contains(QStringLiteral("DPZ")));

    // "close" ends the dialog; nothing more goes to the device.
    QVERIFY(dialog.Click());
    QVERIFY(!dialog.isVisible());
    QCOMPARE(Commands(*m_device).count(QStringLiteral("RST")), 1);
    QCOMPARE(dialog.Boxes().size(), 0);
}

void DeviceTest::noRestartsTheDeviceAndOffersClose()
{
    SetUpDevice({});
    CTestDialog& dialog = *m_dialog;
    LoadAndSearch();
    const QStringList found = ShownStatusLines(dialog);

    dialog.AnswerNo();
    QVERIFY(m_device->WaitForLog("restart"));
    QCOMPARE(Commands(*m_device).last(), QStringLiteral("RST"));
    QCOMPARE(dialog.Step(), StepFinished);
    QVERIFY(dialog.m_btnYes.isHidden());
    QVERIFY(dialog.m_btnNo.isHidden());
    QVERIFY(dialog.m_btnMain.isVisible());
    QCOMPARE(dialog.m_btnMain.text(), QStringLiteral("close"));
    QCOMPARE(ShownStatusLines(dialog), QStringList(found.mid(0, 3)) << QStringLiteral("Click to close the application"));
    QVERIFY(!Received(*m_device).contains(QStringLiteral("FW")));

    // Closing in step 4 sends nothing more.
    QVERIFY(dialog.Click());
    QVERIFY(!dialog.isVisible());
    QCOMPARE(Commands(*m_device).count(QStringLiteral("RST")), 1);
    QVERIFY(!dialog.Workflow().m_file.IsOpen());
}

void DeviceTest::closingAfterTheSearchRestartsTheDevice()
{
    SetUpDevice({});
    CTestDialog& dialog = *m_dialog;
    LoadAndSearch();
    QCOMPARE(Commands(*m_device).count(QStringLiteral("RST")), 0);

    QVERIFY(dialog.Close());
    QVERIFY(!dialog.isVisible());
    QVERIFY(m_device->WaitForLog("restart"));
    QCOMPARE(Commands(*m_device).count(QStringLiteral("RST")), 1);
    QVERIFY(!dialog.Workflow().m_file.IsOpen());
    QCOMPARE(dialog.Boxes().size(), 0);
}

void DeviceTest::closeIsRefusedWhileSearchingAndTransferring()
{
    SetUpDevice({});
    CTestDialog& dialog = *m_dialog;
    const QString refused = kCloseRefused;
    QVERIFY(dialog.Load(m_filePath));
    dialog.OpenClickGate();

    // Held where the device has answered.
    dialog.HoldAtProgress(95);
    MouseClick(dialog.m_btnMain);
    QTRY_VERIFY(dialog.IsHeld());
    QVERIFY(!dialog.close());
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.Boxes().size(), 1);
    QCOMPARE(dialog.Boxes()[0].text, refused);
    QCOMPARE(dialog.Boxes()[0].caption, QStringLiteral("cvf-update"));
    dialog.Release();
    QVERIFY(dialog.WaitIdle());
    QCOMPARE(dialog.m_lblStatus4.text(), QStringLiteral("Would you like to execute the update now?"));
    QVERIFY(dialog.m_btnYes.isVisible());

    // Held half-way through the transfer.
    dialog.HoldAtProgress(50);
    MouseClick(dialog.m_btnYes);
    QTRY_VERIFY(dialog.IsHeld());
    QVERIFY(!dialog.close());
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.Boxes().size(), 2);
    QCOMPARE(dialog.Boxes()[1].text, refused);
    dialog.Release();
    QVERIFY(dialog.WaitIdle());
    QVERIFY_SHOWS(dialog, Outcome::Done);
    QCOMPARE(Received(*m_device).last(), QStringLiteral("RST"));
    QCOMPARE(Commands(*m_device).count(QStringLiteral("RST")), 1);
}

void DeviceTest::germanUpdate()
{
    SetLanguage(Language::German);
    SetUpDevice({});
    CTestDialog& dialog = *m_dialog;
    QCOMPARE(dialog.m_btnMain.text(), QStringLiteral("Start"));
    QVERIFY(dialog.Start());
    QVERIFY_SHOWS(dialog, kInstructions);
    QVERIFY(dialog.Load(m_filePath));
    QCOMPARE(dialog.m_lblInfo1.text(), QStringLiteral("Demo Controller kompatible Firmwaredatei geladen."));
    QVERIFY_SHOWS(dialog, Outcome::Loaded);
    Shoot(dialog, QStringLiteral("de-2-loaded"));

    QVERIFY(dialog.Search());
    QVERIFY_SHOWS(dialog, Outcome::Compatible, "OLD-2025  OLD-V1.9");
    QCOMPARE(dialog.m_btnYes.text(), QStringLiteral("Ja"));
    QCOMPARE(dialog.m_btnNo.text(), QStringLiteral("Nein"));
    Shoot(dialog, QStringLiteral("de-3-found"));

    QVERIFY(dialog.AnswerYes());
    QVERIFY_SHOWS(dialog, Outcome::Done);
    QVERIFY2(dialog.m_lblStatus3.text().contains(QStringLiteral(" Sek.")), qPrintable(dialog.m_lblStatus3.text()));
    QCOMPARE(Received(*m_device).last(), QStringLiteral("RST"));
    Shoot(dialog, QStringLiteral("de-5-done"));
}

void DeviceTest::germanFlashErrorThenRepeatedUpdate()
{
    SetLanguage(Language::German);
    SetUpDevice({"--fault", "flash:3"});
    CTestDialog& dialog = *m_dialog;
    LoadAndSearch();

    QVERIFY(dialog.AnswerYes());
    QVERIFY_SHOWS(dialog, Outcome::FlashError);
    QVERIFY(dialog.m_btnMain.isVisible());
    QVERIFY(dialog.m_progress.isHidden());
    QVERIFY(dialog.Workflow().m_file.IsOpen());
    // The device was told to drop what it got, then restarted.
    QStringList commands = Commands(*m_device);
    QCOMPARE(commands.mid(commands.size() - 2), QStringList({QStringLiteral("DPZ"), QStringLiteral("RST")}));
    Shoot(dialog, QStringLiteral("de-6-flash-error"));

    // "Weiter" searches again and the update can be repeated.
    QVERIFY(dialog.Search());
    QVERIFY(dialog.m_btnYes.isVisible());
    QVERIFY(dialog.AnswerYes());
    QVERIFY_SHOWS(dialog, Outcome::Done);
    commands = Commands(*m_device);
    QCOMPARE(commands.count(QStringLiteral("DPZ")), 1);
    QCOMPARE(commands.count(QStringLiteral("RST")), 2);
    QCOMPARE(Received(*m_device).last(), QStringLiteral("RST"));
}

void DeviceTest::endSignalDuringTheTransferWindsDown()
{
    // As the program does before any thread starts; raise() then leaves
    // the signal pending for this thread, where the signalfd reads it.
    BlockEndSignals();
    CEndSignals endSignals;
    QVERIFY(endSignals.IsListening());
    SetUpDevice({});
    CTestDialog& dialog = *m_dialog;
    connect(&endSignals, &CEndSignals::EndRequested, &dialog, [&dialog](int number) { dialog.OnEndSignal(number); });
    LoadAndSearch();

    dialog.HoldAtProgress(50);
    MouseClick(dialog.m_btnYes);
    QTRY_VERIFY(dialog.IsHeld());
    raise(SIGTERM);
    QTRY_COMPARE(dialog.EndSignal(), SIGTERM);
    raise(SIGINT);  // a second one does not cut the wind-down short
    dialog.Release();

    // The line in hand is finished, the device told to leave its
    // half-written state, the window closed, the port free for others.
    QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), 15000);
    QCOMPARE(dialog.EndSignal(), SIGTERM);
    QVERIFY(!dialog.Workflow().IsWorkerRunning());
    QCOMPARE(QStringList(Commands(*m_device).mid(Commands(*m_device).size() - 2)),
             QStringList({QStringLiteral("DPZ"), QStringLiteral("RST")}));
    QVERIFY(!dialog.Workflow().HoldsDevice());
    QCOMPARE(CSerialPort::ProbePort(m_device->DevicePath()), 0);
    QCOMPARE(dialog.Boxes().size(), 0);
}

void DeviceTest::endSignalWhileLoadingCloses()
{
    BlockEndSignals();
    CEndSignals endSignals;
    SetUpDevice({});
    CTestDialog& dialog = *m_dialog;
    connect(&endSignals, &CEndSignals::EndRequested, &dialog, [&dialog](int number) { dialog.OnEndSignal(number); });
    QVERIFY(dialog.Start());
    dialog.OpenClickGate();
    dialog.HoldAtProgress(0);  // the file is open, its walk about to begin
    MouseClick(dialog.m_btnMain);
    QTRY_VERIFY(dialog.IsHeld());
    raise(SIGHUP);
    QTRY_COMPARE(dialog.EndSignal(), SIGHUP);
    dialog.Release();
    QTRY_VERIFY(!dialog.isVisible());
    QVERIFY(!dialog.Workflow().IsWorkerRunning());
    QVERIFY(!dialog.Workflow().m_file.IsOpen());
    // The walk stopped: no outcome of a load was shown.
    QVERIFY(!ShownStatusLines(dialog).contains(Tr(IDS_FILE_FAULTY)));
    QVERIFY_SHOWS(dialog, Outcome::LoadStopped);
    QVERIFY(Commands(*m_device).isEmpty());
}

QTEST_MAIN(DeviceTest)
#include "DialogDeviceTest.moc"
