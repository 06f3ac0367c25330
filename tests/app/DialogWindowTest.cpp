// The main window as it first appears, its keys and closing in the welcome
// step, the click gate, the order in which worker texts arrive, and its
// colours under a dark desktop palette.

#include "DialogTestSupport.h"

#include <QFileDialog>
#include <QLabel>
#include <QStatusBar>
#include <QtTest>

#include <thread>

using namespace apptest;

namespace {

// Records the texts of one kind of workflow message in the order the
// window receives them.
class CMessageRecorder : public QObject {
public:
    explicit CMessageRecorder(int message) : m_message(message) {}
    QStringList texts;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (static_cast<int>(event->type()) == m_message)
            texts << static_cast<CWorkflowEvent*>(event)->Text();
        return false;
    }

private:
    int m_message;
};

// Runs work on a thread of its own while this thread keeps the window's
// events going, and joins it.
void RunOnWorker(const std::function<void()>& work)
{
    std::atomic<bool> done{false};
    std::thread worker([&] {
        work();
        done = true;
    });
    while (!done)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    worker.join();
    QCoreApplication::sendPostedEvents();
}

// A dark desktop palette, as a dark theme gives it: light texts on dark
// backgrounds in every role the window's parts draw with.
QPalette DarkPalette()
{
    QPalette dark(QColor(0x31, 0x36, 0x3b), QColor(0x2a, 0x2e, 0x32));
    const struct {
        QPalette::ColorRole role;
        QColor active;
        QColor disabled;
    } roles[] = {
        {QPalette::WindowText, QColor(0xfc, 0xfc, 0xfc), QColor(0x62, 0x6c, 0x76)},
        {QPalette::Text, QColor(0xfc, 0xfc, 0xfc), QColor(0x62, 0x6c, 0x76)},
        {QPalette::ButtonText, QColor(0xfc, 0xfc, 0xfc), QColor(0x62, 0x6c, 0x76)},
        {QPalette::Base, QColor(0x1b, 0x1e, 0x20), QColor(0x31, 0x36, 0x3b)},
        {QPalette::Highlight, QColor(0x3d, 0xae, 0xe9), QColor(0x41, 0x48, 0x4e)},
        {QPalette::HighlightedText, QColor(0xfc, 0xfc, 0xfc), QColor(0x25, 0x29, 0x2c)},
        {QPalette::Light, QColor(0x18, 0x1b, 0x1d), QColor(0x18, 0x1b, 0x1d)},
    };
    for (const auto& entry : roles) {
        dark.setColor(QPalette::Active, entry.role, entry.active);
        dark.setColor(QPalette::Inactive, entry.role, entry.active);
        dark.setColor(QPalette::Disabled, entry.role, entry.disabled);
    }
    return dark;
}

}  // namespace

class WindowTest : public CDialogSuite {
    Q_OBJECT
private slots:
    void firstWindowLayoutAndTexts();
    void firstWindowInGerman();
    void enterAndEscapeDoNothing();
    void closingInWelcomeStepIsAllowed();
    void startShowsTheInstructions();
    void doubleClickActsOnceAndGateOpensAfterASecond();
    void workerTextsArriveInTheOrderPosted();
    void directCallsComeAfterEarlierPostedTexts();
    void darkPaletteLeavesTheWindowAsItIs();
};

void WindowTest::firstWindowLayoutAndTexts()
{
    CTestDialog dialog(m_dir->File("no-ports"), m_dir->Path());
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));

    QCOMPARE(dialog.windowTitle(), QStringLiteral("Corvane Firmware Update"));
    QCOMPARE(dialog.size(), QSize(440, 453));
    QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
    QVERIFY(!dialog.windowIcon().isNull());
    QVERIFY(!(dialog.windowFlags() & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(dialog.windowFlags() & Qt::WindowMaximizeButtonHint));

    // Labels: the title line, everything else empty.
    QCOMPARE(dialog.m_lblInfo1.text(), QStringLiteral("Firmware Update Tool"));
    QCOMPARE(dialog.m_lblInfo2.text(), QString());
    QCOMPARE(dialog.m_lblInfo3.text(), QString());
    QCOMPARE(ShownStatusLines(dialog), QStringList(4, QString()));
    QVERIFY(!dialog.m_lblInfo1.font().bold());
    QVERIFY(dialog.m_lblStatus1.font().bold());

    // Only the main button shows, reading "start", in the middle of the
    // bottom row.
    QVERIFY(dialog.m_btnMain.isVisible());
    QCOMPARE(dialog.m_btnMain.text(), QStringLiteral("start"));
    QVERIFY(dialog.m_btnYes.isHidden());
    QVERIFY(dialog.m_btnNo.isHidden());
    QVERIFY(dialog.m_progress.isHidden());
    QCOMPARE(dialog.m_btnMain.size(), QSize(95, 30));
    QVERIFY(qAbs(dialog.m_btnMain.geometry().center().x() - dialog.width() / 2) <= 2);
    QCOMPARE(dialog.Step(), StepWelcome);

    // Status bar along the bottom: file pane 150 px narrower than the
    // window, device pane 90 px, the port pane the rest.
    QStatusBar* bar = dialog.StatusBar();
    QCOMPARE(bar->geometry().bottom(), dialog.height() - 1);
    QCOMPARE(bar->width(), dialog.width());
    QLabel* file = dialog.Pane(ID_PANE_FILE);
    QLabel* device = dialog.Pane(ID_PANE_DEVICE);
    QLabel* port = dialog.Pane(ID_PANE_PORT);
    QCOMPARE(file->text(), QStringLiteral("firmware file"));
    QCOMPARE(device->text(), QStringLiteral("device"));
    QCOMPARE(port->text(), QStringLiteral("COM"));
    QCOMPARE(file->width(), dialog.width() - 150);
    QCOMPARE(device->width(), 90);
    QVERIFY(file->geometry().right() < device->geometry().left());
    QVERIFY(device->geometry().right() < port->geometry().left());
    QVERIFY2(port->width() > 20, qPrintable(QString::number(port->width())));
    QVERIFY(port->geometry().right() < bar->width());
    // The bar does not cover the bottom row of controls.
    QVERIFY(bar->geometry().top() > dialog.m_btnMain.geometry().bottom());
    Shoot(dialog, QStringLiteral("0-welcome"));
}

void WindowTest::firstWindowInGerman()
{
    SetLanguage(Language::German);
    CTestDialog dialog(m_dir->File("no-ports"), m_dir->Path());
    QCOMPARE(dialog.m_btnMain.text(), QStringLiteral("Start"));
    QCOMPARE(dialog.m_lblInfo1.text(), QStringLiteral("Firmware Update Tool"));
    QCOMPARE(dialog.Pane(ID_PANE_FILE)->text(), QStringLiteral("firmware file"));
    QCOMPARE(dialog.Pane(ID_PANE_DEVICE)->text(), QStringLiteral("device"));
    QCOMPARE(dialog.Pane(ID_PANE_PORT)->text(), QStringLiteral("COM"));
    QCOMPARE(dialog.m_btnYes.text(), QStringLiteral("Ja"));
    QCOMPARE(dialog.m_btnNo.text(), QStringLiteral("Nein"));
}

void WindowTest::enterAndEscapeDoNothing()
{
    CTestDialog dialog(m_dir->File("no-ports"), m_dir->Path());
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QApplication::setActiveWindow(&dialog);

    // On the window itself and with the focus on the main button.
    for (QWidget* target : {static_cast<QWidget*>(&dialog), static_cast<QWidget*>(&dialog.m_btnMain)}) {
        target->setFocus();
        for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) {
            QTest::keyClick(target, key);
            QCoreApplication::processEvents();
            QVERIFY(dialog.isVisible());
            QCOMPARE(dialog.Step(), StepWelcome);
            QCOMPARE(dialog.m_btnMain.text(), QStringLiteral("start"));
        }
    }
    QCOMPARE(dialog.Boxes().size(), 0);
    QCOMPARE(dialog.result(), 0);
}

void WindowTest::closingInWelcomeStepIsAllowed()
{
    CTestDialog dialog(m_dir->File("no-ports"), m_dir->Path());
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QVERIFY(dialog.Close());
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.Boxes().size(), 0);
}

void WindowTest::startShowsTheInstructions()
{
    CTestDialog dialog(m_dir->File("no-ports"), m_dir->Path());
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QVERIFY(dialog.Start());

    QVERIFY_SHOWS(dialog, kInstructions);
    QCOMPARE(dialog.m_lblStatus4.LabelTextColor(), QColor(10, 39, 204));
    QCOMPARE(dialog.m_lblStatus4.palette().color(QPalette::WindowText), QColor(10, 39, 204));
    QCOMPARE(dialog.m_lblStatus1.LabelTextColor(), dialog.m_lblStatus3.LabelTextColor());
    QVERIFY(dialog.m_btnMain.isVisible());
    Shoot(dialog, QStringLiteral("1-instructions"));
}

void WindowTest::doubleClickActsOnceAndGateOpensAfterASecond()
{
    // Any file choice is cancelled and counted.
    CTestDialog dialog(m_dir->File("no-ports"), m_dir->Path());
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));

    QElapsedTimer sinceClick;
    sinceClick.start();
    MouseDoubleClick(dialog.m_btnMain);
    QCOMPARE(dialog.Step(), StepLoadFile);
    QCOMPARE(dialog.FileChoices(), 0);

    // A single click within the second is ignored too.
    MouseClick(dialog.m_btnMain);
    QCOMPARE(dialog.FileChoices(), 0);

    QTRY_VERIFY_WITH_TIMEOUT(dialog.Workflow().m_bClickReady != 0, 5000);
    // The timer may fire a little early, never much.
    QVERIFY2(sinceClick.elapsed() >= 900, qPrintable(QString::number(sinceClick.elapsed())));

    MouseClick(dialog.m_btnMain);
    QCOMPARE(dialog.FileChoices(), 1);
    QCOMPARE(dialog.Step(), StepLoadFile);
}

void WindowTest::workerTextsArriveInTheOrderPosted()
{
    CTestDialog dialog(m_dir->File("no-ports"), m_dir->Path());
    CMessageRecorder recorder(UWM_STATUS3);
    dialog.installEventFilter(&recorder);

    constexpr int kCount = 200;
    RunOnWorker([&] {
        for (int i = 0; i < kCount; ++i)
            dialog.Workflow().PostStatus3(std::to_string(i));
    });
    QTRY_COMPARE(dialog.m_lblStatus3.text(), QString::number(kCount - 1));

    QStringList expected;
    for (int i = 0; i < kCount; ++i)
        expected << QString::number(i);
    QCOMPARE(recorder.texts, expected);
}

void WindowTest::directCallsComeAfterEarlierPostedTexts()
{
    // The workflow relies on both orders: a direct call from a worker
    // lands after what that worker posted before it, and what it posts
    // after the call lands after the call.
    CTestDialog dialog(m_dir->File("no-ports"), m_dir->Path());
    RunOnWorker([&] {
        for (int i = 0; i < 50; ++i)
            dialog.Workflow().PostStatus3(std::to_string(i));
        dialog.SetStatusLine(3, "direct");
    });
    QCOMPARE(dialog.m_lblStatus3.text(), QStringLiteral("direct"));

    RunOnWorker([&] {
        dialog.Workflow().SetStatusLines(IDS_DEVICE_FOUND, IDS_NOT_COMPATIBLE, IDS_UPDATE_REFUSED, IDS_CLICK_TO_LOAD);
        dialog.Workflow().PostStatus4(Text(IDS_NOT_COMPATIBLE_4));
    });
    QCOMPARE(ShownStatusLines(dialog),
             Lines({IDS_DEVICE_FOUND, IDS_NOT_COMPATIBLE, IDS_UPDATE_REFUSED, IDS_NOT_COMPATIBLE_4}));
}

void WindowTest::darkPaletteLeavesTheWindowAsItIs()
{
    // The window's colours go with its backdrop, not with the desktop's
    // palette; message boxes and the file dialog go with the desktop's.
    const QPalette original = QApplication::palette();
    const QColor darkWindow = DarkPalette().color(QPalette::Window);
    QImage reference;
    int afterChange = -1;
    {
        // Gone before the next one: each answers every box it sees.
        CTestDialog light(m_dir->File("no-ports"), m_dir->Path());
        light.show();
        QVERIFY(QTest::qWaitForWindowExposed(&light));
        reference = PictureOfEveryPart(light);
        QApplication::setPalette(DarkPalette());
        afterChange = DifferingPixels(reference, PictureOfEveryPart(light));
    }
    CTestDialog dark(m_dir->File("no-ports"), m_dir->Path());
    dark.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dark));
    const QImage underDark = PictureOfEveryPart(dark);
    Shoot(dark, QStringLiteral("dark-palette"));

    dark.PretendBusy(true);
    QVERIFY(!dark.close());
    dark.PretendBusy(false);
    QColor fileDialogWindow;
    dark.UseFileDialog([&fileDialogWindow](QFileDialog* files) {
        fileDialogWindow = files->palette().color(QPalette::Window);
        files->reject();
        return true;
    });
    QVERIFY(dark.Start());
    dark.CancelNextFile();
    QVERIFY(dark.Click());
    QApplication::setPalette(original);

    const int differing = DifferingPixels(reference, underDark);
    QVERIFY2(differing == 0, qPrintable(QStringLiteral("%1 of %2 pixels differ under the dark palette")
                                            .arg(differing)
                                            .arg(reference.width() * reference.height())));
    QVERIFY2(afterChange == 0, qPrintable(QStringLiteral("%1 pixels differ after the change").arg(afterChange)));
    QCOMPARE(dark.Boxes().size(), 1);
    QCOMPARE(dark.Boxes()[0].background, darkWindow);
    QCOMPARE(fileDialogWindow, darkWindow);
}

QTEST_MAIN(WindowTest)
#include "DialogWindowTest.moc"
