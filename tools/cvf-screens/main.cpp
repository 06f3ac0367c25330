// cvf-screens OUTDIR [en|de|user ...]
//
// Drives the real main window through a whole update against the
// simulated device and saves a picture of it in every step: welcome,
// instructions, loaded, searching, found (with the question),
// transferring (with the remaining time), done, and one failure (a flash
// error). One folder per language: OUTDIR/en, OUTDIR/de; "user" is the
// language of the environment, as the tool would choose it. Runs on the
// offscreen platform unless QT_QPA_PLATFORM says otherwise; the transfer
// is paced like a real line, so a language takes about 20 seconds.
// SIGINT, SIGTERM and SIGHUP end it early, its simulated devices and
// folders removed; the exit status is then 128 plus the signal's number.

#include "app/UpdateDlg.h"
#include "app/workflow/StringTable.h"

#include "FirmwareMaker.h"
#include "SimDevice.h"

#include "EventLoopWait.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QThread>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>

#include <sys/stat.h>

namespace {

volatile std::sig_atomic_t g_endSignal = 0;

extern "C" void NoteEndSignal(int number)
{
    g_endSignal = number;
}

bool Ended()
{
    return g_endSignal != 0;
}

// WaitFor that gives up at an end signal.
bool Await(const std::function<bool()>& done, int timeoutMs)
{
    return WaitFor([&] { return Ended() || done(); }, timeoutMs) && !Ended();
}

// The main dialog with the file dialog answered by a fixed path.
class CScriptedDlg : public CUpdateDlg {
public:
    explicit CScriptedDlg(std::string file) : m_path(std::move(file)) { Workflow().m_strDeviceProgram = CVF_DEVICE; }
    bool ChooseFile(std::string& path) override
    {
        path = m_path;
        return true;
    }

private:
    std::string m_path;
};

class Shooter {
public:
    explicit Shooter(QString dir) : m_dir(std::move(dir)) { QDir().mkpath(m_dir); }

    void Shoot(QWidget& window, const QString& name)
    {
        if (Ended())
            return;
        QCoreApplication::processEvents();
        const QString path = QDir(m_dir).filePath(name + QStringLiteral(".png"));
        if (!window.grab().save(path, "PNG")) {
            std::fprintf(stderr, "cvf-screens: cannot write %s\n", qPrintable(path));
            m_ok = false;
            return;
        }
        std::printf("%s\n", qPrintable(path));
        std::fflush(stdout);
    }
    bool Ok() const { return m_ok; }

private:
    QString m_dir;
    bool m_ok = true;
};

std::string PortDirectoryOf(const CSimDevice& sim)
{
    return std::filesystem::path(sim.LinkPath()).parent_path().string();
}

// Clicks the main button (or Yes) with the click gate open; after an end
// signal nothing more.
void Click(CUpdateDlg& dlg, bool yes = false)
{
    if (Ended())
        return;
    dlg.Workflow().m_bClickReady = 1;
    (yes ? dlg.m_btnYes : dlg.m_btnMain).click();
}

bool Run(const std::string& file, Language language, const QString& dir)
{
    SetLanguage(language);
    Shooter shots(dir);

    // A device one version behind the file, paced like a real line.
    CSimDevice sim({"--version", "V2.3.9  2025-06 "}, true, "COM3");
    if (!sim.IsReady()) {
        std::fprintf(stderr, "cvf-screens: the simulated device did not start\n");
        return false;
    }
    bool ok = true;
    {
        CScriptedDlg dlg(file);
        dlg.Workflow().m_portDirectory = PortDirectoryOf(sim);
        dlg.Workflow().m_sysfsRoot = "/nonexistent";
        dlg.show();
        shots.Shoot(dlg, QStringLiteral("1-welcome"));

        Click(dlg);
        shots.Shoot(dlg, QStringLiteral("2-instructions"));

        Click(dlg);
        ok = ok && Await([&] { return !dlg.Workflow().IsWorkerRunning(); }, 10000);
        shots.Shoot(dlg, QStringLiteral("3-loaded"));

        Click(dlg);
        // The device has answered; the full bar stays for a second.
        const QString searching = ToQString(Text(IDS_SEARCHING));
        ok = ok && Await([&] {
            return dlg.Workflow().IsWorkerRunning() && dlg.m_progress.GetPos() == 100 &&
                   dlg.m_lblStatus1.text() == searching;
        }, 10000);
        shots.Shoot(dlg, QStringLiteral("4-searching"));
        ok = ok && Await([&] { return !dlg.Workflow().IsWorkerRunning(); }, 10000);
        shots.Shoot(dlg, QStringLiteral("5-found"));

        Click(dlg, true);
        // Far enough for an estimate of the remaining time.
        ok = ok && Await([&] {
            const int pos = dlg.m_progress.GetPos();
            return dlg.Workflow().IsWorkerRunning() && dlg.Workflow().Step() == StepFinished && pos >= 40 && pos < 100 &&
                   !dlg.m_lblStatus3.text().isEmpty();
        }, 120000);
        shots.Shoot(dlg, QStringLiteral("6-transferring"));
        ok = ok && Await([&] { return !dlg.Workflow().IsWorkerRunning(); }, 120000);
        shots.Shoot(dlg, QStringLiteral("7-done"));
    }

    // A device that cannot write its flash.
    CSimDevice broken({"--fault", "flash:40", "--port-dir", PortDirectoryOf(sim)}, false, "COM4");
    sim.Stop();
    if (!broken.IsReady() || Ended())
        return false;
    {
        CScriptedDlg dlg(file);
        dlg.Workflow().m_portDirectory = PortDirectoryOf(sim);
        dlg.Workflow().m_sysfsRoot = "/nonexistent";
        dlg.Workflow().m_nSearchHoldMs = 0;
        dlg.show();
        Click(dlg);
        Click(dlg);
        ok = ok && Await([&] { return !dlg.Workflow().IsWorkerRunning(); }, 10000);
        Click(dlg);
        ok = ok && Await([&] { return !dlg.Workflow().IsWorkerRunning(); }, 10000);
        Click(dlg, true);
        ok = ok && Await([&] { return !dlg.Workflow().IsWorkerRunning(); }, 60000);
        shots.Shoot(dlg, QStringLiteral("8-failed"));
    }
    return ok && shots.Ok();
}

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("cvf-update"));
    if (argc < 2) {
        std::fprintf(stderr, "Usage: cvf-screens OUTDIR [en|de ...]\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    QStringList languages;
    for (int i = 2; i < argc; ++i) {
        QString language = QString::fromLocal8Bit(argv[i]);
        if (language == QStringLiteral("user"))
            language = LanguageFromEnvironment() == Language::German ? QStringLiteral("de") : QStringLiteral("en");
        languages << language;
    }
    if (languages.isEmpty())
        languages << QStringLiteral("en") << QStringLiteral("de");

    struct sigaction action {};
    action.sa_handler = NoteEndSignal;
    sigemptyset(&action.sa_mask);
    for (int number : {SIGINT, SIGTERM, SIGHUP})
        sigaction(number, &action, nullptr);

    // A fixed place, so that the pictures show the same path every time;
    // a folder of its own when that one is taken (another run, another
    // user).
    std::string folder = "/tmp/cvf-screens";
    if (mkdir(folder.c_str(), 0700) != 0) {
        char pattern[] = "/tmp/cvf-screens-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            std::fprintf(stderr, "cvf-screens: cannot make a folder in /tmp\n");
            return 1;
        }
        folder = pattern;
    }
    const std::string file = folder + "/sample.CVF";
    std::ofstream(file, std::ios::binary) << MakeFirmwareFile(MakerOptions{}).bytes;

    bool ok = true;
    for (const QString& language : languages) {
        if (Ended())
            break;
        ok = Run(file, language == QStringLiteral("de") ? Language::German : Language::English,
                 QDir(out).filePath(language)) && ok;
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    if (Ended())
        return 128 + g_endSignal;
    return ok ? 0 : 1;
}
