// Every text of both tables that a label, a button or a status-bar pane
// can show fits that control, in the control's font as resolved on this
// machine, with realistic arguments for the placeholders.

#include "DialogTestSupport.h"

#include "app/workflow/TransferClock.h"

#include <QFontMetrics>
#include <QLabel>
#include <QtTest>

#include <set>

using namespace apptest;

namespace {

// Texts that are not shown in a label: status-bar panes, button captions,
// message boxes, time units (only inside IDS_UPDATE_TIME and the remaining
// time), the unused marker and the word loaded but never shown.
const std::set<int> kNotInLabels = {
    IDS_PANE_DEVICE, IDS_PANE_PORT, IDS_PANE_FILE, IDS_START, IDS_CONTINUE, IDS_UNEXPECTED_FORMAT,
    IDS_CANNOT_OPEN, IDS_LOAD_FILE, IDS_UNIT_SECONDS, IDS_UNIT_MINUTES, IDS_UNIT_HOURS, IDS_NOT_USED,
    IDS_CLOSE_REFUSED, IDS_UPDATE, IDS_CLOSE, IDS_YES, IDS_NO};
// Shown on the upper lines (normal weight); the rest on the bold status lines.
const std::set<int> kInfoLines = {IDS_FILE_LOADED, IDS_SOFTWARE_VERSION, IDS_TITLE};
const int kCaptions[] = {IDS_START, IDS_CONTINUE, IDS_LOAD_FILE, IDS_CLOSE, IDS_YES, IDS_NO};

const char* LanguageName(Language language)
{
    return language == Language::German ? "de" : "en";
}

// The longest time text a transfer can realistically show.
QString LongTime(Language language)
{
    SetLanguage(language);
    CTransferClock clock;
    clock.Start();
    const std::string text = clock.FormatDuration(2 * 3600 + 58 * 60 + 58);
    SetLanguage(Language::English);
    return QString::fromStdString(text);
}

// The pixels a text takes, each line of it.
QSize TextSize(const QFont& font, const QString& text)
{
    const QFontMetrics metrics(font);
    return metrics.boundingRect(QRect(0, 0, 10000, 10000), Qt::AlignCenter, text).size();
}

}  // namespace

class TextFitTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();

    void labelTextFits_data();
    void labelTextFits();
    void buttonCaptionFits_data();
    void buttonCaptionFits();
    void paneTextFits_data();
    void paneTextFits();

private:
    CTempDir m_dir;
    std::unique_ptr<CUpdateDlg> m_dialog;
};

void TextFitTest::initTestCase()
{
    SetLanguage(Language::English);
    m_dialog = std::make_unique<CUpdateDlg>();
    m_dialog->Workflow().m_portDirectory = m_dir.File("no-ports");
    m_dialog->Workflow().m_sysfsRoot = m_dir.Path();
    m_dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dialog.get()));
    qInfo("label face: %s", qPrintable(QFontInfo(m_dialog->m_lblStatus1.font()).family()));
    qInfo("dialog face: %s", qPrintable(QFontInfo(m_dialog->font()).family()));
}

void TextFitTest::cleanupTestCase()
{
    m_dialog.reset();
}

void TextFitTest::labelTextFits_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("infoLine");

    for (Language language : {Language::English, Language::German}) {
        const auto add = [&](const QString& name, const std::string& text, bool info) {
            QTest::newRow(qPrintable(QStringLiteral("%1-%2").arg(QLatin1String(LanguageName(language)), name)))
                << QString::fromStdString(text) << info;
        };
        for (int id : TextIds()) {
            if (kNotInLabels.count(id) != 0 || (id >= FLASH_TEXTS_FIRST && id <= FLASH_TEXTS_LAST))
                continue;
            const std::string pattern = Text(id, language);
            const bool info = kInfoLines.count(id) != 0;
            const QString name = QString::number(id);
            switch (id) {
            case IDS_PORTS_FOUND:
                add(name, FormatText(pattern, {"7"}), info);
                break;
            case IDS_DEVICE_REBOOTED:
            case IDS_COMPATIBLE_FOUND:
            case IDS_FILE_LOADED:
                add(name, FormatText(pattern, {"Demo Controller"}), info);
                break;
            case IDS_UPDATE_TIME:
                add(name, FormatText(pattern, {LongTime(language).toStdString()}), info);
                break;
            case IDS_CHECKING_PORT:
            case IDS_NO_PERMISSION_ASK_ADMIN:
                add(name + QStringLiteral("-ttyUSB0"), FormatText(pattern, {"ttyUSB0"}), info);
                add(name + QStringLiteral("-COM3"), FormatText(pattern, {"COM3"}), info);
                break;
            case IDS_NO_PERMISSION_JOIN:
                add(name + QStringLiteral("-ttyUSB0"), FormatText(pattern, {"ttyUSB0", "dialout"}), info);
                add(name + QStringLiteral("-ttyACM10"), FormatText(pattern, {"ttyACM10", "plugdev"}), info);
                break;
            default:
                add(name, pattern, info);
                break;
            }
        }
        // The remaining time alone on line 3.
        add(QStringLiteral("remaining"), LongTime(language).toStdString(), false);
    }
    // The version lines of the file (upper) and of the device (status).
    QTest::newRow("file-version") << QStringLiteral("2026-11  V2.4.1") << true;
    QTest::newRow("device-version") << QStringLiteral("2026-11  V2.4.1") << false;
}

void TextFitTest::labelTextFits()
{
    QFETCH(QString, text);
    QFETCH(bool, infoLine);
    const CColorLabel& label = infoLine ? m_dialog->m_lblInfo1 : m_dialog->m_lblStatus1;
    const QRect room = label.contentsRect();
    QCOMPARE(room.width(), 433);
    const QSize size = TextSize(label.font(), text);
    QVERIFY2(size.width() <= room.width(),
             qPrintable(QStringLiteral("%1 px wide, room for %2: \"%3\"").arg(size.width()).arg(room.width()).arg(text)));
    QVERIFY2(size.height() <= room.height(),
             qPrintable(QStringLiteral("%1 px high, room for %2: \"%3\"").arg(size.height()).arg(room.height()).arg(text)));
}

void TextFitTest::buttonCaptionFits_data()
{
    QTest::addColumn<QString>("text");
    for (Language language : {Language::English, Language::German}) {
        for (int id : kCaptions) {
            QTest::newRow(qPrintable(QStringLiteral("%1-%2").arg(QLatin1String(LanguageName(language))).arg(id)))
                << QString::fromStdString(Text(id, language));
        }
    }
}

void TextFitTest::buttonCaptionFits()
{
    QFETCH(QString, text);
    for (const CShapedButton* button : {&m_dialog->m_btnMain, &m_dialog->m_btnYes, &m_dialog->m_btnNo}) {
        QCOMPARE(button->size(), QSize(95, 30));
        // The caption is drawn 2 pixels inside either edge of the face.
        const QSize size = TextSize(button->font(), text);
        QVERIFY2(size.width() <= button->width() - 4,
                 qPrintable(QStringLiteral("%1 px wide: \"%2\"").arg(size.width()).arg(text)));
        QVERIFY(size.height() <= button->height());
    }
}

void TextFitTest::paneTextFits_data()
{
    QTest::addColumn<int>("pane");
    QTest::addColumn<QString>("text");
    QTest::newRow("device") << int(ID_PANE_DEVICE) << QStringLiteral("Demo Controller");
    QTest::newRow("port ttyUSB0") << int(ID_PANE_PORT) << QStringLiteral("ttyUSB0");
    QTest::newRow("port COM3") << int(ID_PANE_PORT) << QStringLiteral("COM3");
    QTest::newRow("file") << int(ID_PANE_FILE) << QStringLiteral("/home/user/Downloads/firmware-2026-11.CVF");
}

void TextFitTest::paneTextFits()
{
    QFETCH(int, pane);
    QFETCH(QString, text);
    QLabel* label = m_dialog->Pane(pane);
    const int room = label->contentsRect().width() - 2 * label->margin();
    const int width = QFontMetrics(label->font()).horizontalAdvance(text);
    QVERIFY2(width <= room, qPrintable(QStringLiteral("%1 px wide, room for %2").arg(width).arg(room)));
}

QTEST_MAIN(TextFitTest)
#include "DialogTextFitTest.moc"
