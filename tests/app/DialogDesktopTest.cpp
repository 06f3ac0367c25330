// The window on desktops as users run them, each started by this test on
// its own: an X11 display (Xvfb) under Qt's KDE theme with a Breeze Dark
// colour scheme, whose picture must be that of the same display with no
// theme; a Wayland compositor (weston, headless) that maximises the window
// and its message box and makes them full-screen during a transfer, which
// the tool must live through, back at its size within a second, the
// device getting the whole image.
//
// Run without arguments, this program starts the display servers and runs
// itself again as the window on them: "--picture FILE" writes the window's
// pictures (PictureOfEveryPart) and prints the platform, the application
// palette's window colour and whether the window's size is fixed;
// "--wayland" runs WaylandTest.

#include "DialogTestSupport.h"
#include "DeviceRecords.h"
#include "EventLoopWait.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QResizeEvent>
#include <QStandardPaths>
#include <QWindow>
#include <QtTest>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <vector>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

using namespace apptest;

namespace {

const QSize kDesignSize(DialogLayout::kClientWidth, DialogLayout::kClientHeight);
constexpr qint64 kBackWithinMs = 1000;

// A Breeze Dark colour scheme as KDE writes it into kdeglobals, with the
// general font of a Plasma desktop.
const char kBreezeDark[] = R"([Colors:Button]
BackgroundAlternate=30,87,116
BackgroundNormal=49,54,59
DecorationFocus=61,174,233
DecorationHover=61,174,233
ForegroundActive=61,174,233
ForegroundInactive=161,169,177
ForegroundLink=29,153,243
ForegroundNegative=218,68,83
ForegroundNeutral=246,116,0
ForegroundNormal=252,252,252
ForegroundPositive=39,174,96
ForegroundVisited=155,89,182

[Colors:Selection]
BackgroundAlternate=30,87,116
BackgroundNormal=61,174,233
ForegroundActive=252,252,252
ForegroundInactive=161,169,177
ForegroundLink=253,188,75
ForegroundNormal=252,252,252
ForegroundVisited=155,89,182

[Colors:Tooltip]
BackgroundAlternate=42,46,50
BackgroundNormal=49,54,59
ForegroundInactive=161,169,177
ForegroundNormal=252,252,252

[Colors:View]
BackgroundAlternate=35,38,41
BackgroundNormal=27,30,32
DecorationFocus=61,174,233
DecorationHover=61,174,233
ForegroundActive=61,174,233
ForegroundInactive=161,169,177
ForegroundLink=29,153,243
ForegroundNormal=252,252,252
ForegroundVisited=155,89,182

[Colors:Window]
BackgroundAlternate=49,54,59
BackgroundNormal=42,46,50
ForegroundActive=61,174,233
ForegroundInactive=161,169,177
ForegroundLink=29,153,243
ForegroundNormal=252,252,252
ForegroundVisited=155,89,182

[General]
ColorScheme=BreezeDark
Name=Breeze Dark
font=Noto Sans,10,-1,5,50,0,0,0,0,0

[WM]
activeBackground=49,54,59
activeForeground=252,252,252
inactiveBackground=42,46,50
inactiveForeground=161,169,177
)";
const char kBreezeDarkWindow[] = "#2a2e32";

// A child that goes when this process goes, whatever happens to it.
void EndWithParent(QProcess& process)
{
    process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
}

// A server this test started, ended with the test.
class CServer {
public:
    CServer() { EndWithParent(process); }
    ~CServer() { Stop(); }
    QProcess process;
    void Stop()
    {
        if (process.state() == QProcess::NotRunning)
            return;
        process.terminate();
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished(2000);
        }
    }
};

// The environment of a child with nothing of the desktop this test runs
// on: no display, theme or style of its own.
QProcessEnvironment PlainEnvironment(const QString& configHome)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "QT_QPA_PLATFORMTHEME", "QT_STYLE_OVERRIDE",
                             "KDE_SESSION_VERSION", "KDE_FULL_SESSION", "XDG_CURRENT_DESKTOP", "XDG_SESSION_TYPE",
                             "DESKTOP_SESSION", "GNOME_DESKTOP_SESSION_ID", "QT_SCALE_FACTOR", "QT_SCREEN_SCALE_FACTORS",
                             "QT_FONT_DPI", "CVF_DIALOG_SHOTS"})
        env.remove(QString::fromLatin1(name));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome);
    return env;
}

// Runs this program again with the arguments; its output (both streams)
// in output. False when it did not end by itself with status 0.
bool RunSelf(const QStringList& arguments, const QProcessEnvironment& env, QByteArray& output, int timeoutMs)
{
    QProcess child;
    EndWithParent(child);
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(), arguments);
    if (!child.waitForStarted(5000))
        return false;
    const bool ended = child.waitForFinished(timeoutMs);
    if (!ended) {
        child.kill();
        child.waitForFinished(2000);
    }
    output = child.readAll();
    return ended && child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0;
}

// The value of the child's "name value" output line; empty when none.
QString ValueOf(const QByteArray& output, const QString& name)
{
    for (const QByteArray& line : output.split('\n')) {
        const QString text = QString::fromUtf8(line).trimmed();
        if (text.startsWith(name + QLatin1Char(' ')))
            return text.mid(name.size() + 1);
    }
    return QString();
}

}  // namespace

// ---------------------------------------------------------------------------
// The parent: the display servers and the children on them

class DesktopTest : public QObject {
    Q_OBJECT
private slots:
    void breezeDarkLooksLikeTheDefault();
    void waylandMaximiseAndFullScreenDuringATransfer();
};

void DesktopTest::breezeDarkLooksLikeTheDefault()
{
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    QVERIFY2(!xvfb.isEmpty(), "Xvfb is missing (scripts/deps.sh installs it)");
    CTempDir dir;
    const QString top = QString::fromStdString(dir.Path());
    QVERIFY(QDir().mkpath(top + QStringLiteral("/plain")) && QDir().mkpath(top + QStringLiteral("/kde")));
    QFile globals(top + QStringLiteral("/kde/kdeglobals"));
    QVERIFY(globals.open(QIODevice::WriteOnly) && globals.write(kBreezeDark) > 0);
    globals.close();

    // The server takes the first free display and says which on stdout.
    CServer server;
    server.process.start(xvfb, {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                                QStringLiteral("0"), QStringLiteral("1280x1024x24"), QStringLiteral("-nolisten"),
                                QStringLiteral("tcp"), QStringLiteral("-noreset")});
    QVERIFY(server.process.waitForStarted(5000));
    QByteArray number;
    QVERIFY(WaitFor(
        [&] {
            number += server.process.readAllStandardOutput();
            return number.contains('\n') || server.process.state() == QProcess::NotRunning;
        },
        10000));
    QVERIFY2(number.trimmed().toInt() > 0 || number.trimmed() == "0", number.constData());
    const QString display = QLatin1Char(':') + QString::fromLatin1(number.trimmed());

    QProcessEnvironment plain = PlainEnvironment(top + QStringLiteral("/plain"));
    plain.insert(QStringLiteral("DISPLAY"), display);
    plain.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    QProcessEnvironment kde = plain;
    kde.insert(QStringLiteral("XDG_CONFIG_HOME"), top + QStringLiteral("/kde"));
    kde.insert(QStringLiteral("KDE_SESSION_VERSION"), QStringLiteral("5"));
    kde.insert(QStringLiteral("KDE_FULL_SESSION"), QStringLiteral("true"));
    kde.insert(QStringLiteral("XDG_CURRENT_DESKTOP"), QStringLiteral("KDE"));

    QByteArray plainOutput;
    QByteArray kdeOutput;
    const QString plainPicture = top + QStringLiteral("/plain.png");
    const QString kdePicture = top + QStringLiteral("/kde.png");
    QVERIFY2(RunSelf({QStringLiteral("--picture"), plainPicture}, plain, plainOutput, 60000), plainOutput.constData());
    QVERIFY2(RunSelf({QStringLiteral("--picture"), kdePicture}, kde, kdeOutput, 60000), kdeOutput.constData());
    // The theme was there: the application itself is dark.
    QCOMPARE(ValueOf(plainOutput, QStringLiteral("window")), QStringLiteral("#efefef"));
    QCOMPARE(ValueOf(kdeOutput, QStringLiteral("window")), QString::fromLatin1(kBreezeDarkWindow));
    // On X11 the size stays fixed.
    QCOMPARE(ValueOf(plainOutput, QStringLiteral("platform")), QStringLiteral("xcb"));
    QCOMPARE(ValueOf(kdeOutput, QStringLiteral("fixed")), QStringLiteral("yes"));

    const QImage reference(plainPicture);
    const QImage dark(kdePicture);
    QVERIFY(!reference.isNull() && !dark.isNull());
    const QString shots = qEnvironmentVariable("CVF_DIALOG_SHOTS");
    if (!shots.isEmpty()) {
        QDir().mkpath(shots);
        dark.save(shots + QStringLiteral("/breeze-dark.png"));
        reference.save(shots + QStringLiteral("/x11-plain.png"));
    }
    const int differing = DifferingPixels(reference, dark);
    qInfo("%d of %d pixels differ under Breeze Dark", differing, reference.width() * reference.height());
    QCOMPARE(differing, 0);
}

void DesktopTest::waylandMaximiseAndFullScreenDuringATransfer()
{
    const QString weston = QStandardPaths::findExecutable(QStringLiteral("weston"));
    QVERIFY2(!weston.isEmpty(), "weston is missing (scripts/deps.sh installs it)");
    // The runtime directory is the compositor's and the tool's alone.
    CTempDir dir;
    const QString runtime = QString::fromStdString(dir.Path());
    const QString socket = QStringLiteral("cvf-test-%1").arg(getpid());
    QProcessEnvironment env = PlainEnvironment(runtime + QStringLiteral("/config"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);

    CServer server;
    server.process.setProcessEnvironment(env);
    server.process.setProcessChannelMode(QProcess::MergedChannels);
    server.process.start(weston, {QStringLiteral("--backend=headless-backend.so"), QStringLiteral("--socket=") + socket,
                                  QStringLiteral("--no-config"), QStringLiteral("--idle-time=0"),
                                  QStringLiteral("--width=1024"), QStringLiteral("--height=768")});
    QVERIFY(server.process.waitForStarted(5000));
    const QString socketPath = runtime + QLatin1Char('/') + socket;
    QVERIFY2(WaitFor([&] { return QFile::exists(socketPath) || server.process.state() == QProcess::NotRunning; }, 10000) &&
                 server.process.state() == QProcess::Running,
             server.process.readAll().constData());

    env.insert(QStringLiteral("WAYLAND_DISPLAY"), socket);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
    QByteArray output;
    QElapsedTimer timer;
    timer.start();
    const bool lived = RunSelf({QStringLiteral("--wayland")}, env, output, 120000);
    qInfo("The tool under weston: %s in %lld ms", lived ? "passed" : "failed", static_cast<long long>(timer.elapsed()));
    qInfo("%s", output.constData());
    QVERIFY2(lived, server.process.readAll().right(4000).constData());
    QVERIFY2(!output.contains("Protocol error"), output.constData());
    QVERIFY(server.process.state() == QProcess::Running);
}

// ---------------------------------------------------------------------------
// The window on Wayland

namespace {

// One request of a window state and the window's way back: it is back once
// it has taken a size larger than its design size (the compositor's) and
// then had its design size again, in the normal state.
class CStateTrip : public QObject {
public:
    CStateTrip(QWidget& window, Qt::WindowState state) : m_window(window), m_design(window.size())
    {
        window.installEventFilter(this);
        m_timer.start();
        window.windowHandle()->setWindowStates(state);
    }
    ~CStateTrip() override { m_window.removeEventFilter(this); }

    // Back, or not back in five seconds.
    bool Done() const { return m_backAfter >= 0 || m_timer.elapsed() > 5000; }
    qint64 BackAfterMs() const { return m_backAfter; }
    QSize Largest() const { return m_largest; }
    QString Describe() const
    {
        return QStringLiteral("largest %1x%2, back after %3 ms")
            .arg(m_largest.width())
            .arg(m_largest.height())
            .arg(m_backAfter);
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Resize && m_backAfter < 0) {
            const QSize size = static_cast<QResizeEvent*>(event)->size();
            m_largest = m_largest.expandedTo(size);
            const bool wasLarger = m_largest.width() > m_design.width() && m_largest.height() > m_design.height();
            if (wasLarger && size == m_design && m_window.windowState() == Qt::WindowNoState)
                m_backAfter = m_timer.elapsed();
        }
        return false;
    }

private:
    QWidget& m_window;
    QSize m_design;
    QSize m_largest;
    QElapsedTimer m_timer;
    qint64 m_backAfter = -1;
};

MakerOptions TransferFile()
{
    // Three blocks of 256 lines: the device's 2 ms a line keep the
    // transfer going while the window is maximised.
    return MakerOptions();
}

}  // namespace

class WaylandTest : public QObject {
    Q_OBJECT
private slots:
    void maximiseAndFullScreenDuringATransfer();
};

void WaylandTest::maximiseAndFullScreenDuringATransfer()
{
    QCOMPARE(QGuiApplication::platformName(), QStringLiteral("wayland"));
    SetLanguage(Language::English);
    CTempDir dir;
    CSimDevice device({"--version", "OLD-V1.9OLD-2025", "--image-out", "image.txt", "--line-time", "2"});
    QVERIFY2(device.IsReady(), device.ReadyLine().c_str());
    const std::string path = dir.WriteFirmware("firmware.CVF", TransferFile());
    QVERIFY(!path.empty());
    CTestDialog dialog(std::filesystem::path(device.LinkPath()).parent_path().string(), dir.Path());
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QCOMPARE(dialog.size(), kDesignSize);
    QCOMPARE(dialog.minimumSize(), kDesignSize);
    QVERIFY(dialog.maximumSize().width() > kDesignSize.width());

    QVERIFY(dialog.Load(path));
    QVERIFY(dialog.Search());
    QVERIFY(dialog.m_btnYes.isVisible());
    // Past the main window's turns the worker waits here, still in the
    // transfer, for the message box's.
    dialog.HoldAtProgress(60);
    MouseClick(dialog.m_btnYes);
    QTRY_VERIFY(dialog.m_progress.isVisible());
    QVERIFY(dialog.Workflow().IsWorkerRunning());

    for (const Qt::WindowState state : {Qt::WindowMaximized, Qt::WindowFullScreen}) {
        CStateTrip trip(dialog, state);
        QVERIFY(WaitFor([&trip] { return trip.Done(); }, 10000));
        qInfo("main window, state %d: %s", int(state), qPrintable(trip.Describe()));
        QVERIFY2(trip.BackAfterMs() >= 0 && trip.BackAfterMs() <= kBackWithinMs, qPrintable(trip.Describe()));
        QCOMPARE(dialog.windowHandle()->windowStates(), Qt::WindowStates(Qt::WindowNoState));
    }
    QTRY_VERIFY_WITH_TIMEOUT(dialog.IsHeld(), 30000);

    // Closing is refused with a message box; the box, too, is maximised
    // and made full-screen before it is confirmed.
    std::unique_ptr<CStateTrip> trip;
    QStringList boxTrips;
    QSize boxSize;
    QSize boxMinimum;
    int boxMaximumWidth = 0;
    std::vector<Qt::WindowState> states = {Qt::WindowMaximized, Qt::WindowFullScreen};
    bool allBack = true;
    dialog.AnswerBoxesWith([&](QMessageBox* box) {
        // A state asked for before the compositor has shown the box may
        // come to nothing.
        if (!box->windowHandle() || !box->windowHandle()->isExposed())
            return false;
        if (boxSize.isEmpty()) {
            boxSize = box->size();
            boxMinimum = box->minimumSize();
            boxMaximumWidth = box->maximumWidth();
        }
        if (trip && trip->Done()) {
            boxTrips << trip->Describe();
            allBack = allBack && trip->BackAfterMs() >= 0 && trip->BackAfterMs() <= kBackWithinMs &&
                      box->size() == boxSize;
            trip.reset();
        }
        if (trip)
            return false;
        if (!states.empty()) {
            trip = std::make_unique<CStateTrip>(*box, states.front());
            states.erase(states.begin());
            return false;
        }
        box->button(QMessageBox::Ok)->click();
        return true;
    });
    QVERIFY(!dialog.close());
    for (const QString& described : boxTrips)
        qInfo("message box: %s", qPrintable(described));
    QCOMPARE(dialog.Boxes().size(), 1);
    QCOMPARE(dialog.Boxes()[0].text, QString::fromLatin1(kCloseRefused));
    QCOMPARE(boxTrips.size(), 2);
    QVERIFY2(allBack, qPrintable(boxTrips.join(QStringLiteral("; "))));
    QCOMPARE(boxMinimum, boxSize);
    QVERIFY(boxMaximumWidth > boxSize.width());

    // The transfer goes on to its end, the device has the whole image.
    dialog.Release();
    QVERIFY(dialog.WaitIdle());
    QVERIFY_SHOWS(dialog, Outcome::Done);
    const std::map<unsigned, unsigned> sent = ImageOfFile(path);
    const std::map<unsigned, unsigned> written = ReadDeviceImage(device.File("image.txt"));
    QCOMPARE(int(written.size()), int(sent.size()));
    QVERIFY(written == sent);
    QCOMPARE(QString::fromStdString(Requests(device).back()), QStringLiteral("RST"));
}

// ---------------------------------------------------------------------------

namespace {

// The window's pictures into a file, and the application's palette.
int WritePicture(char** argv, const QString& file)
{
    int argc = 1;
    QApplication app(argc, argv);
    SetLanguage(Language::English);
    CTempDir dir;
    CTestDialog dialog(dir.File("no-ports"), dir.Path());
    dialog.show();
    if (!QTest::qWaitForWindowExposed(&dialog))
        return 2;
    const QImage picture = PictureOfEveryPart(dialog);
    std::printf("platform %s\nwindow %s\nfixed %s\n", qPrintable(QGuiApplication::platformName()),
                qPrintable(QGuiApplication::palette().color(QPalette::Window).name()),
                dialog.minimumSize() == kDesignSize && dialog.maximumSize() == kDesignSize ? "yes" : "no");
    return picture.save(file) ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 3 && qstrcmp(argv[1], "--picture") == 0)
        return WritePicture(argv, QString::fromLocal8Bit(argv[2]));
    if (argc >= 2 && qstrcmp(argv[1], "--wayland") == 0) {
        int appArgc = 1;
        QApplication app(appArgc, argv);
        WaylandTest test;
        QStringList arguments = QCoreApplication::arguments().mid(0, 1);
        for (int i = 2; i < argc; ++i)
            arguments << QString::fromLocal8Bit(argv[i]);
        return QTest::qExec(&test, arguments);
    }
    QCoreApplication app(argc, argv);
    DesktopTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "DialogDesktopTest.moc"
