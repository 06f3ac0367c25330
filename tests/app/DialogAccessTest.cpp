// What assistive technology reads of the main window: the window's
// caption, the button captions, the label and pane texts, and the percent
// bar as a progress bar with its value, kept up to date as they change.

#include "DialogTestSupport.h"
#include "app/Announcements.h"

#include <QAccessible>
#include <QLabel>
#include <QtTest>
#include <QtTest/qtestaccessible.h>

#include <filesystem>
#include <thread>

#ifdef CVF_QPA_ACCESSIBILITY
#include <QtGui/private/qguiapplication_p.h>
#include <qpa/qplatformaccessibility.h>
#include <qpa/qplatformintegration.h>
#endif

using namespace apptest;

namespace {

// Switches Qt's accessibility on, as a screen reader coming up does: only
// then are change events delivered.
bool ActivateAccessibility()
{
#ifdef CVF_QPA_ACCESSIBILITY
    if (QPlatformAccessibility* platform = QGuiApplicationPrivate::platformIntegration()->accessibility()) {
        platform->setActive(true);
        return QAccessible::isActive();
    }
#endif
    return false;
}

QAccessibleInterface* Access(QObject* object)
{
    return QAccessible::queryAccessibleInterface(object);
}

QString Name(QObject* object)
{
    QAccessibleInterface* iface = Access(object);
    return iface ? iface->text(QAccessible::Name) : QStringLiteral("<no interface>");
}

// The names of every visible object below iface, depth first.
void CollectNames(QAccessibleInterface* iface, QStringList& names)
{
    for (int i = 0; i < iface->childCount(); ++i) {
        QAccessibleInterface* child = iface->child(i);
        if (!child || child->state().invisible)
            continue;
        names << child->text(QAccessible::Name);
        CollectNames(child, names);
    }
}

// The value-change events reported for object so far.
QList<QVariant> ValueEvents(QObject* object)
{
    QList<QVariant> values;
    for (QAccessibleEvent* event : QTestAccessibility::events()) {
        if (event->type() == QAccessible::ValueChanged && event->object() == object)
            values << static_cast<QAccessibleValueChangeEvent*>(event)->value();
    }
    return values;
}

// What a screen reader is told, as it is told: the focus events with what
// the focused object was at that moment, and the announcements.
struct Heard {
    QAccessible::Event type;
    QObject* object;
    bool visible;
    QString name;
    QString description;
};
QList<Heard> g_heard;
QAccessible::UpdateHandler g_passOn = nullptr;

void Listen(QAccessibleEvent* event)
{
    if (event->type() == QAccessible::Focus || event->type() == QAccessible::ObjectShow) {
        QAccessibleInterface* iface = event->accessibleInterface();
        auto* widget = qobject_cast<QWidget*>(event->object());
        g_heard.append({event->type(), event->object(), widget && widget->isVisible(),
                        iface ? iface->text(QAccessible::Name) : QString(),
                        iface ? iface->text(QAccessible::Description) : QString()});
    }
    if (g_passOn)
        g_passOn(event);
}

}  // namespace

class AccessTest : public CDialogSuite {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void windowAndButtonsReadTheirCaptions();
    void labelsAndPanesReadTheirTexts();
    void everyVisibleTextIsReachableFromTheWindow();
    void buttonIsPressedThroughItsAction();
    void percentBarIsAProgressBarWithItsValue();
    void percentBarReportsPositionChanges();
    void everyStepIsHeardWithoutAsking();

private:
    bool m_active = false;
};

void AccessTest::initTestCase()
{
    QTestAccessibility::initialize();
    m_active = ActivateAccessibility();
}

void AccessTest::init()
{
    CDialogSuite::init();
    QTestAccessibility::clearEvents();
}

void AccessTest::cleanupTestCase()
{
    QTestAccessibility::cleanup();
}

void AccessTest::windowAndButtonsReadTheirCaptions()
{
    CTestDialog dialog(m_dir->File("no-ports"), m_dir->Path());
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));

    QAccessibleInterface* window = Access(&dialog);
    QVERIFY(window);
    // A frame, as screen readers look for a status bar only in one.
    QCOMPARE(window->role(), QAccessible::Window);
    QCOMPARE(window->text(QAccessible::Name), QStringLiteral("Corvane Firmware Update"));

    for (CShapedButton* button : {&dialog.m_btnMain, &dialog.m_btnYes, &dialog.m_btnNo}) {
        QAccessibleInterface* iface = Access(button);
        QVERIFY(iface);
        QCOMPARE(iface->role(), QAccessible::Button);
    }
    QCOMPARE(Name(&dialog.m_btnMain), QStringLiteral("start"));
    QCOMPARE(Name(&dialog.m_btnYes), QStringLiteral("Yes"));
    QCOMPARE(Name(&dialog.m_btnNo), QStringLiteral("No"));
    QVERIFY(Access(&dialog.m_btnYes)->state().invisible);
    QVERIFY(!Access(&dialog.m_btnMain)->state().invisible);

    // A caption set by a worker is what is read next.
    std::thread worker([&] { dialog.SetMainButtonText(Text(IDS_LOAD_FILE)); });
    QTRY_COMPARE(Name(&dialog.m_btnMain), QStringLiteral("Load file"));
    worker.join();
}

void AccessTest::labelsAndPanesReadTheirTexts()
{
    CTestDialog dialog(m_dir->File("no-ports"), m_dir->Path());
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));

    QCOMPARE(Access(&dialog.m_lblInfo1)->role(), QAccessible::StaticText);
    QCOMPARE(Name(&dialog.m_lblInfo1), QStringLiteral("Firmware Update Tool"));
    QCOMPARE(Name(dialog.Pane(ID_PANE_FILE)), QStringLiteral("firmware file"));
    QCOMPARE(Name(dialog.Pane(ID_PANE_DEVICE)), QStringLiteral("device"));
    QCOMPARE(Name(dialog.Pane(ID_PANE_PORT)), QStringLiteral("COM"));

    // Posted texts, as the workers send them, are read once applied, and
    // the change is announced.
    dialog.Workflow().PostStatus1(Text(IDS_FILE_LOADING));
    dialog.Workflow().PostInfo2(Text(IDS_SOFTWARE_VERSION));
    dialog.Workflow().PostFilePane("/tmp/x.CVF");
    QCoreApplication::sendPostedEvents();
    QCOMPARE(Name(&dialog.m_lblStatus1), QStringLiteral("File loading."));
    QCOMPARE(Name(&dialog.m_lblInfo2), QStringLiteral("Software Version:"));
    QCOMPARE(Name(dialog.Pane(ID_PANE_FILE)), QStringLiteral("/tmp/x.CVF"));
    if (m_active) {
        QAccessibleEvent changed(&dialog.m_lblStatus1, QAccessible::NameChanged);
        QVERIFY(QTestAccessibility::containsEvent(&changed));
    }

    // Set directly, as SetStatusLines does.
    dialog.Workflow().ShowInstructions();
    QCOMPARE(Name(&dialog.m_lblStatus4), QStringLiteral("Click on the button to load the firmware file"));
}

void AccessTest::everyVisibleTextIsReachableFromTheWindow()
{
    // A screen reader walks the tree from the window: the visible labels,
    // button and panes must all be found there.
    CTestDialog dialog(m_dir->File("no-ports"), m_dir->Path());
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    dialog.Workflow().ShowInstructions();

    QStringList names;
    CollectNames(Access(&dialog), names);
    const QStringList expected = {QStringLiteral("Firmware Update Tool"),
                                  QStringLiteral("Turn your device to update mode"),
                                  QStringLiteral("and connect it to your PC."),
                                  QStringLiteral("The update will take about 3 to 10 minutes."),
                                  QStringLiteral("Click on the button to load the firmware file"),
                                  QStringLiteral("Load file"),
                                  QStringLiteral("firmware file"),
                                  QStringLiteral("device"),
                                  QStringLiteral("COM")};
    for (const QString& text : expected)
        QVERIFY2(names.contains(text), qPrintable(text + QStringLiteral(" not in: ") + names.join(QLatin1Char('|'))));
    // Hidden controls are not offered.
    QVERIFY(!names.contains(QStringLiteral("Yes")));
}

void AccessTest::buttonIsPressedThroughItsAction()
{
    // A screen reader user presses the button through its action.
    CTestDialog dialog(m_dir->File("no-ports"), m_dir->Path());
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QAccessibleActionInterface* actions = Access(&dialog.m_btnMain)->actionInterface();
    QVERIFY(actions);
    QVERIFY(actions->actionNames().contains(QAccessibleActionInterface::pressAction()));
    actions->doAction(QAccessibleActionInterface::pressAction());
    QTRY_COMPARE(dialog.Step(), StepLoadFile);
    QCOMPARE(Name(&dialog.m_btnMain), QStringLiteral("Load file"));
    QCOMPARE(Name(&dialog.m_lblStatus1), QStringLiteral("Turn your device to update mode"));
}

void AccessTest::percentBarIsAProgressBarWithItsValue()
{
    CTestDialog dialog(m_dir->File("no-ports"), m_dir->Path());
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    dialog.ShowControl(Control::Progress, true);
    dialog.SetProgressPos(42);

    QAccessibleInterface* iface = Access(&dialog.m_progress);
    QVERIFY(iface);
    QCOMPARE(iface->role(), QAccessible::ProgressBar);
    QVERIFY(!iface->text(QAccessible::Name).isEmpty());
    QCOMPARE(iface->text(QAccessible::Value), QStringLiteral("42%"));
    QAccessibleValueInterface* value = iface->valueInterface();
    QVERIFY(value);
    QCOMPARE(value->currentValue().toInt(), 42);
    QCOMPARE(value->minimumValue().toInt(), 0);
    QCOMPARE(value->maximumValue().toInt(), 100);
    // The user cannot move it.
    value->setCurrentValue(7);
    QCOMPARE(dialog.m_progress.GetPos(), 42);

    // A bar of another range reads as the percentage it shows.
    CPercentBar bar;
    bar.SetRange(0, 200);
    bar.SetPos(50);
    QCOMPARE(Access(&bar)->text(QAccessible::Value), QStringLiteral("25%"));
    QCOMPARE(Access(&bar)->valueInterface()->maximumValue().toInt(), 200);
    // Without an accessible name the text it shows instead of the
    // percentage names it.
    bar.SetWindowText(QStringLiteral("Copying"));
    QCOMPARE(Access(&bar)->text(QAccessible::Name), QStringLiteral("Copying"));
    bar.setAccessibleName(QStringLiteral("Transfer"));
    QCOMPARE(Access(&bar)->text(QAccessible::Name), QStringLiteral("Transfer"));
}

void AccessTest::percentBarReportsPositionChanges()
{
    if (!m_active)
        QSKIP("Qt's platform accessibility cannot be switched on here (no private Qt headers)");
    CTestDialog dialog(m_dir->File("no-ports"), m_dir->Path());
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    dialog.ShowControl(Control::Progress, true);
    dialog.SetProgressPos(0);
    QTestAccessibility::clearEvents();

    // From a worker, as the workflow moves it, and through a posted
    // message, as the transfer does.
    std::atomic<bool> done{false};
    std::thread worker([&] {
        dialog.SetProgressPos(10);
        dialog.SetProgressPos(10);
        dialog.SetProgressStep(5);
        dialog.StepProgress();
        done = true;
    });
    while (!done)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    worker.join();
    dialog.PostValueMessage(UWM_SET_PROGRESS, 42);
    QCoreApplication::sendPostedEvents();

    // The first change at once; the ones in the next half second as one,
    // with the latest position; none for a position set again.
    QCOMPARE(ValueEvents(&dialog.m_progress), QList<QVariant>({10}));
    QTest::qWait(CPercentBar::kValueReportMs + 100);
    QCOMPARE(ValueEvents(&dialog.m_progress), QList<QVariant>({10, 42}));
    QCOMPARE(Access(&dialog.m_progress)->text(QAccessible::Value), QStringLiteral("42%"));
}

void AccessTest::everyStepIsHeardWithoutAsking()
{
    if (!m_active)
        QSKIP("Qt's platform accessibility cannot be switched on here (no private Qt headers)");
    // Paced as a real line, so that the transfer lasts long enough for its
    // start to be announced.
    CSimDevice device({"--version", "OLD-V1.9OLD-2025"}, true);
    QVERIFY(device.IsReady());
    MakerOptions file = SmallFirmware();
    file.blocks = 6;  // about a second on the paced line
    CTestDialog dialog(std::filesystem::path(device.LinkPath()).parent_path().string(), m_dir->Path());
    // Through the real file dialog, after which the window must be active
    // again for anything to be heard.
    dialog.UseFileDialog();
    dialog.NextFile(m_dir->WriteFirmware("heard.CVF", file));
    dialog.show();
    dialog.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    g_heard.clear();
    g_passOn = QAccessible::installUpdateHandler(Listen);

    auto focusedOn = [](QObject* object, const QString& name) {
        return std::any_of(g_heard.begin(), g_heard.end(), [&](const Heard& h) {
            return h.type == QAccessible::Focus && h.object == object && h.name == name;
        });
    };
    auto announced = [&dialog](const QString& text) {
        return std::any_of(g_heard.begin(), g_heard.end(), [&](const Heard& h) {
            return h.type == QAccessible::ObjectShow && h.object == dialog.Announcements().Announcer() &&
                   h.name.contains(text);
        });
    };

    // start: the caption changes on the focused button, which takes the
    // focus anew, described by the instructions.
    QVERIFY(dialog.Start());
    QTRY_VERIFY(focusedOn(&dialog.m_btnMain, Tr(IDS_LOAD_FILE)));
    QVERIFY(dialog.m_btnMain.accessibleDescription().startsWith(Tr(IDS_TURN_TO_UPDATE_MODE)));
    // The file: the button comes back with what was loaded.
    QVERIFY(dialog.Click());
    QVERIFY(dialog.isActiveWindow());
    QTRY_VERIFY(focusedOn(&dialog.m_btnMain, Tr(IDS_CONTINUE)));
    QVERIFY(dialog.m_btnMain.accessibleDescription().startsWith(QStringLiteral("Demo Controller compatible fimware file loaded.")));
    QVERIFY(dialog.m_btnMain.accessibleDescription().endsWith(Tr(IDS_CLICK_CONTINUE)));
    // The search: each port announced; "Yes" takes the focus with the question.
    QVERIFY(dialog.Search());
    QTRY_VERIFY(focusedOn(&dialog.m_btnYes, Tr(IDS_YES)));
    QVERIFY(announced(QStringLiteral("Checking COM port COM5")));
    QVERIFY(dialog.m_btnYes.accessibleDescription().contains(Tr(IDS_UPDATE_QUESTION)));
    QVERIFY(dialog.m_btnYes.accessibleDescription().contains(QStringLiteral("OLD-2025  OLD-V1.9")));
    // The transfer: its start announced, the result on "close".
    QVERIFY(dialog.AnswerYes());
    QTRY_VERIFY(focusedOn(&dialog.m_btnMain, Tr(IDS_CLOSE)));
    QVERIFY(announced(Tr(IDS_UPDATE_STARTED)));
    QVERIFY(dialog.m_btnMain.accessibleDescription().startsWith(Tr(IDS_UPDATE_ENDED)));

    QAccessible::installUpdateHandler(g_passOn);
    // Never a focus on something not to be seen: not on "No" while "Yes"
    // goes, not on a button about to be hidden.
    const QList<QObject*> ours = {&dialog, &dialog.m_btnMain, &dialog.m_btnYes, &dialog.m_btnNo, &dialog.m_progress};
    for (const Heard& h : g_heard) {
        if (h.type == QAccessible::Focus && ours.contains(h.object))
            QVERIFY2(h.visible, qPrintable(h.name));
    }
    QVERIFY(!focusedOn(&dialog.m_btnNo, Tr(IDS_NO)));
}

QTEST_MAIN(AccessTest)
#include "DialogAccessTest.moc"
