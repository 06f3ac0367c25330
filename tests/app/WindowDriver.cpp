#include "WindowDriver.h"

#include "FirmwareMaker.h"
#include "app/workflow/StringTable.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QThread>

#include <algorithm>
#include <filesystem>

CDrivenDlg::CDrivenDlg()
{
    // Never the machine's ports.
    m_portDirectory = m_emptySysfs.File("no-ports");
    m_sysfsRoot = m_emptySysfs.Path();
    m_nSearchHoldMs = 0;
    // Message boxes are confirmed as soon as they show.
    m_boxTimer.setInterval(5);
    QObject::connect(&m_boxTimer, &QTimer::timeout, &m_boxTimer, [this] { CatchMessageBoxes(); });
    m_boxTimer.start();
    show();
    QCoreApplication::processEvents();
}

CDrivenDlg::~CDrivenDlg()
{
    FinishWorker();
}

void CDrivenDlg::CatchMessageBoxes()
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (box && box->isVisible()) {
            m_messages << box->text();
            m_captions << box->windowTitle();
            box->done(QMessageBox::Ok);
        }
    }
}

bool CDrivenDlg::ChooseFile()
{
    if (m_cancel)
        return false;
    m_strFilePath = m_next;
    return true;
}

bool CDrivenDlg::CheckFileHeader()
{
    const bool good = CUpdateDlg::CheckFileHeader();
    if (m_afterHeaderCheck)
        m_afterHeaderCheck();
    return good;
}

void CDrivenDlg::UsePorts(const std::string& portDirectory)
{
    m_portDirectory = portDirectory;
    m_sysfsRoot = m_emptySysfs.Path();
}

bool CDrivenDlg::WaitIdle(int timeoutMs)
{
    const bool idle = WaitFor([this] { return !IsWorkerRunning(); }, timeoutMs);
    if (idle)
        FinishWorker();
    return idle;
}

bool CDrivenDlg::Click(int timeoutMs)
{
    m_bClickReady = 1;
    m_btnMain.click();
    return WaitIdle(timeoutMs);
}

bool CDrivenDlg::ClickYes(int timeoutMs)
{
    m_bClickReady = 1;
    m_btnYes.click();
    return WaitIdle(timeoutMs);
}

bool CDrivenDlg::Load(const std::string& path)
{
    if (m_nStep.load() == StepWelcome)
        Click();
    NextFile(path);
    Click();
    return m_nStep.load() == StepFindDevice && m_file.IsOpen();
}

QString CDrivenDlg::Line(int n) const
{
    return StatusLabel(n)->text();
}

QString CDrivenDlg::Info(int n) const
{
    return InfoLabel(n)->text();
}

QString CDrivenDlg::PaneText(int id) const
{
    return Pane(id)->text();
}

// ---------------------------------------------------------------------------

// ---------------------------------------------------------------------------

const char* SeenName(Seen outcome)
{
    switch (outcome) {
    case Seen::Done: return "done";
    case Seen::Incomplete: return "incomplete";
    case Seen::FlashError: return "flash error";
    case Seen::Protocol: return "protocol error";
    case Seen::NoDevice: return "no device";
    case Seen::Incompatible: return "incompatible";
    case Seen::Found: return "found";
    case Seen::FoundNoVersion: return "found, no version";
    }
    return "?";
}

std::vector<std::string> SeenLines(Seen outcome)
{
    switch (outcome) {
    case Seen::Done:
        return {"Firmware update ended", "The Demo Controller has been rebooted.", "Time for firmware update: ", ""};
    case Seen::Incomplete:
        return {"Firmware update is incomplete", "Was the connection interrupted?", "Is your device operational?",
                "Click to repeat the update"};
    case Seen::FlashError:
        return {"Error writing to flash", "Update interrupted", " ", "Click to repeat the update"};
    case Seen::Protocol:
        return {"Error in the write-read process", "Update interrupted", " ", "Click to repeat the update"};
    case Seen::NoDevice:
        return {"No device found!", "Is your COM port used by another program?", "Is device running in update mode?",
                "Click to search again"};
    case Seen::Incompatible:
        return {"Device found", "Device not compatible", "Firmware update refused", " "};
    case Seen::Found:
        return {"Have found a Demo Controller compatible device.", "Current software version:", "",
                "Would you like to execute the update now?"};
    case Seen::FoundNoVersion:
        return {"Have found a Demo Controller compatible device.", "Current software version:",
                "No version available", "Would you like to execute the update now?"};
    }
    return {};
}

namespace {

// The window's four status lines against an outcome; line 3 of a found
// device and of a done update is only compared by its start.
void CompareLines(const CDrivenDlg& dlg, Seen outcome, const std::string& what, std::string& report)
{
    const std::vector<std::string> expected = SeenLines(outcome);
    for (int n = 1; n <= 4; ++n) {
        const std::string shown = dlg.Line(n).toStdString();
        const std::string& want = expected[static_cast<size_t>(n - 1)];
        const bool prefixOnly = n == 3 && (outcome == Seen::Done || outcome == Seen::Found);
        const bool ok = prefixOnly ? shown.rfind(want, 0) == 0 : shown == want;
        if (!ok)
            report += what + ": line " + std::to_string(n) + " is \"" + shown + "\", expected \"" + want + "\"\n";
    }
}

std::string Join(const std::vector<std::string>& words)
{
    std::string text;
    for (const std::string& w : words)
        text += (text.empty() ? "" : " ") + w;
    return "{" + text + "}";
}

int StepAfter(Seen outcome)
{
    switch (outcome) {
    case Seen::Done: return StepFinished;
    case Seen::Incomplete:
    case Seen::FlashError:
    case Seen::Protocol:
    case Seen::NoDevice: return StepFindDevice;
    case Seen::Incompatible: return StepLoadFile;
    case Seen::Found:
    case Seen::FoundNoVersion: return StepTransfer;
    }
    return -1;
}

}  // namespace

bool RunFaultCase(const FaultRun& run, const std::string& file, std::string& report)
{
    const size_t reported = report.size();
    std::vector<std::string> args = run.deviceArgs;
    args.insert(args.end(), {"--image-out", "image.txt"});
    CSimDevice faulty(args, false, "COM5");
    if (!faulty.IsReady()) {
        report += "the simulated device did not start\n";
        return false;
    }
    const std::string ports = PortDirectoryOf(faulty);

    CDrivenDlg dlg;
    dlg.UsePorts(ports);
    if (!dlg.Load(file)) {
        report += "the file did not load\n";
        return false;
    }
    // Searches take at most three attempts on one port (3 s) and PSD and
    // EAE three of 3 s each; a line at most 10 s and the closing commands
    // 10 s each.
    if (!dlg.Click(30000)) {
        report += "the search did not end\n";
        return false;
    }
    CompareLines(dlg, run.search, "search", report);
    if (dlg.m_nStep.load() != StepAfter(run.search))
        report += "search: step " + std::to_string(dlg.m_nStep.load()) + "\n";

    const bool found = run.search == Seen::Found || run.search == Seen::FoundNoVersion;
    if (found) {
        if (!dlg.ClickYes(45000)) {
            report += "the transfer did not end\n";
            return false;
        }
        CompareLines(dlg, run.transfer, "transfer", report);
        if (dlg.m_nStep.load() != StepAfter(run.transfer))
            report += "transfer: step " + std::to_string(dlg.m_nStep.load()) + "\n";
        const std::vector<std::string> closing = RequestsAfterLines(faulty);
        if (closing != run.closing)
            report += "after the last line the device heard " + Join(closing) + ", expected " + Join(run.closing) + "\n";
        if (run.transfer == Seen::Done && run.imageWhole) {
            faulty.Stop();  // writes the image
            if (ReadDeviceImage(faulty.File("image.txt")) != ImageOfFile(file))
                report += "the device's image differs from the file\n";
        }
    }

    // Then a clean update on a fresh device under the same name.
    if (!(found && run.transfer == Seen::Done)) {
        faulty.Stop();
        CSimDevice clean({"--image-out", "image.txt", "--port-dir", ports}, false, "COM5");
        if (!clean.IsReady()) {
            report += "the clean device did not start\n";
            return false;
        }
        if (dlg.m_nStep.load() == StepLoadFile && !dlg.Load(file))
            report += "repeat: the file did not load again\n";
        if (dlg.m_nStep.load() == StepFindDevice && !dlg.Click(30000))
            report += "repeat: the search did not end\n";
        if (dlg.m_nStep.load() == StepTransfer && !dlg.ClickYes(45000))
            report += "repeat: the transfer did not end\n";
        CompareLines(dlg, Seen::Done, "repeat", report);
        clean.Stop();
        if (ReadDeviceImage(clean.File("image.txt")) != ImageOfFile(file))
            report += "repeat: the device's image differs from the file\n";
    }
    return report.size() == reported;
}
