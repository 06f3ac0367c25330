#include "DialogTestSupport.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QThread>

namespace apptest {

namespace {

// A picture of a message box when CVF_DIALOG_SHOTS names a folder.
void ShootBox(QWidget& box)
{
    static int count = 0;
    const QString folder = qEnvironmentVariable("CVF_DIALOG_SHOTS");
    if (folder.isEmpty())
        return;
    QDir().mkpath(folder);
    box.grab().save(QStringLiteral("%1/box-%2.png").arg(folder).arg(++count));
}

}  // namespace

bool ChooseInFileDialog(QFileDialog* files, const QString& path)
{
    const QFileInfo info(path);
    files->setDirectory(info.absolutePath());
    // selectFile leaves a name field that has the focus as it is.
    if (auto* name = files->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
        name->setText(info.fileName());
    else
        files->selectFile(path);
    // As the Open button does (accept() is not public here).
    QMetaObject::invokeMethod(files, "accept", Qt::DirectConnection);
    return true;
}

void MouseClick(QAbstractButton& button)
{
    QTest::mouseClick(&button, Qt::LeftButton, Qt::NoModifier, button.rect().center());
}

void MouseDoubleClick(QAbstractButton& button)
{
    const QPoint at = button.rect().center();
    QTest::mousePress(&button, Qt::LeftButton, Qt::NoModifier, at);
    QTest::mouseRelease(&button, Qt::LeftButton, Qt::NoModifier, at);
    QTest::mousePress(&button, Qt::LeftButton, Qt::NoModifier, at);
    QTest::mouseDClick(&button, Qt::LeftButton, Qt::NoModifier, at);
    QTest::mouseRelease(&button, Qt::LeftButton, Qt::NoModifier, at);
}

CTestDialog::CTestDialog()
{
    // Message boxes and file dialogs are answered as soon as they show.
    m_modalTimer.setInterval(10);
    QObject::connect(&m_modalTimer, &QTimer::timeout, &m_modalTimer, [this] { AnswerModalWindows(); });
    m_modalTimer.start();
}

CTestDialog::CTestDialog(const std::string& portDirectory, const std::string& sysfsRoot) : CTestDialog()
{
    Workflow().m_portDirectory = portDirectory;
    Workflow().m_sysfsRoot = sysfsRoot;
}

CTestDialog::~CTestDialog()
{
    // A worker still running is let go and told to end, and is gone before
    // the parts of this object it calls are.
    Release();
    CloseChannel();
    Workflow().RequestStop();
    Workflow().FinishWorker();
}

void CTestDialog::UseFileDialog(std::function<bool(QFileDialog*)> answer)
{
    m_useFileDialog = true;
    m_fileAnswer = std::move(answer);
}

bool CTestDialog::ChooseFile(std::string& path)
{
    // The seam: the path of NextFile(), or cancelled.
    const bool chosen = CSteps::ChooseFile(path);
    if (!m_useFileDialog)
        return chosen;
    // The real dialog, which AnswerModalWindows() answers the same way.
    m_fileToChoose = chosen ? QString::fromStdString(path) : QString();
    return CUpdateDlg::ChooseFile(path);
}

void CTestDialog::AnswerModalWindows()
{
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (!window->isVisible())
            continue;
        if (auto* box = qobject_cast<QMessageBox*>(window)) {
            if (box != m_box) {
                m_box = box;
                m_boxes.append({box->windowTitle(), box->text(), box->icon(), box->palette().color(QPalette::Window)});
                ShootBox(*box);
            }
            bool closed = true;
            if (m_boxAnswer)
                closed = m_boxAnswer(box);
            else if (QAbstractButton* ok = box->button(QMessageBox::Ok))
                ok->click();
            else
                box->reject();
            if (closed)
                m_box = nullptr;
        } else if (auto* files = qobject_cast<QFileDialog*>(window)) {
            if (files != m_fileDialog) {
                m_fileDialog = files;
                m_fileFilters = files->nameFilters();
                const auto* types = files->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
                m_fileTypeShown = types ? types->currentText() : QString();
            }
            bool closed = true;
            if (m_fileAnswer)
                closed = m_fileAnswer(files);
            else if (m_fileToChoose.isEmpty())
                files->reject();
            else
                ChooseInFileDialog(files, m_fileToChoose);
            if (closed)
                m_fileDialog = nullptr;
        }
    }
}

void CTestDialog::HoldAtProgress(int value)
{
    std::lock_guard lock(m_holdMutex);
    m_holdAt = value;
    m_held = false;
    m_release = false;
}

bool CTestDialog::IsHeld()
{
    std::lock_guard lock(m_holdMutex);
    return m_held;
}

void CTestDialog::Release()
{
    {
        std::lock_guard lock(m_holdMutex);
        m_release = true;
        m_holdAt = -1;
    }
    m_wake.notify_all();
}

void CTestDialog::HoldIfAsked(int value)
{
    if (QThread::currentThread() == thread())
        return;
    std::unique_lock lock(m_holdMutex);
    if (value != m_holdAt)
        return;
    m_holdAt = -1;
    m_held = true;
    m_wake.wait(lock, [this] { return m_release; });
}

void CTestDialog::SetProgressPos(int pos)
{
    HoldIfAsked(pos);
    CUpdateDlg::SetProgressPos(pos);
}

void CTestDialog::PostValueMessage(int message, int value)
{
    if (message == UWM_SET_PROGRESS)
        HoldIfAsked(value);
    CUpdateDlg::PostValueMessage(message, value);
}

std::array<std::string, 4> CTestDialog::ShownLines() const
{
    std::array<std::string, 4> lines;
    for (int n = 1; n <= 4; ++n)
        lines[static_cast<size_t>(n - 1)] = StatusLabel(n)->text().toStdString();
    return lines;
}

std::string CTestDialog::ShownCaption() const
{
    return m_btnMain.text().toStdString();
}

void CTestDialog::RunWindow()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QThread::usleep(200);
}

void CTestDialog::AfterWorkers()
{
    // Everything the worker posted, its end last.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

QString Tr(int id)
{
    return QString::fromStdString(Text(id));
}

QStringList ShownStatusLines(const CUpdateDlg& dialog)
{
    return {dialog.m_lblStatus1.text(), dialog.m_lblStatus2.text(), dialog.m_lblStatus3.text(),
            dialog.m_lblStatus4.text()};
}

QStringList Lines(std::initializer_list<int> ids)
{
    QStringList lines;
    for (int id : ids)
        lines << (id == IDS_NONE ? QString() : Tr(id));
    return lines;
}

QImage PictureOfEveryPart(CUpdateDlg& dialog)
{
    const auto picture = [&dialog] {
        QCoreApplication::sendPostedEvents();
        return dialog.grab().toImage().convertToFormat(QImage::Format_RGB32);
    };
    const int lines[] = {IDS_TURN_TO_UPDATE_MODE, IDS_CONNECT_TO_PC, IDS_UPDATE_DURATION, IDS_CLICK_TO_LOAD};
    for (int n = 1; n <= 4; ++n)
        dialog.SetStatusLine(n, Text(lines[n - 1]));
    dialog.SetStatusLineColor(4, 0x0A27CC);
    dialog.InfoLabel(1)->SetLabelText(Tr(IDS_TITLE));
    dialog.InfoLabel(2)->SetLabelText(Tr(IDS_SOFTWARE_VERSION));
    dialog.InfoLabel(3)->SetLabelText(QStringLiteral("2026-11  V2.4.1"));
    dialog.PostTextMessage(UWM_PANE_FILE, "/home/user/firmware.CVF");
    dialog.PostTextMessage(UWM_PANE_DEVICE, "Demo Controller");
    dialog.PostTextMessage(UWM_PANE_PORT, "COM5");
    dialog.ShowControl(Control::YesButton, false);
    dialog.ShowControl(Control::NoButton, false);
    dialog.ShowControl(Control::Progress, false);
    dialog.m_btnNo.setEnabled(true);
    dialog.ShowControl(Control::MainButton, true);
    dialog.m_btnMain.setFocus();  // its focus face, whatever had the focus before
    const QImage first = picture();

    dialog.ShowControl(Control::MainButton, false);
    dialog.ShowControl(Control::Progress, true);
    dialog.SetProgressPos(47);  // the text's middle on the bar's edge
    const QImage second = picture();

    dialog.ShowControl(Control::Progress, false);
    dialog.ShowControl(Control::YesButton, true);
    dialog.ShowControl(Control::NoButton, true);
    dialog.m_btnNo.setEnabled(false);
    const QImage third = picture();

    QImage all(first.width(), first.height() * 3, QImage::Format_RGB32);
    QPainter painter(&all);
    painter.drawImage(0, 0, first);
    painter.drawImage(0, first.height(), second);
    painter.drawImage(0, first.height() * 2, third);
    return all;
}

int DifferingPixels(const QImage& a, const QImage& b)
{
    if (a.size() != b.size())
        return std::max(a.width() * a.height(), b.width() * b.height());
    const QImage x = a.convertToFormat(QImage::Format_RGB32);
    const QImage y = b.convertToFormat(QImage::Format_RGB32);
    int count = 0;
    for (int row = 0; row < x.height(); ++row) {
        const QRgb* p = reinterpret_cast<const QRgb*>(x.constScanLine(row));
        const QRgb* q = reinterpret_cast<const QRgb*>(y.constScanLine(row));
        for (int col = 0; col < x.width(); ++col)
            count += (p[col] & 0xFFFFFFu) != (q[col] & 0xFFFFFFu) ? 1 : 0;
    }
    return count;
}

void Shoot(QWidget& window, const QString& name)
{
    const QString folder = qEnvironmentVariable("CVF_DIALOG_SHOTS");
    if (folder.isEmpty())
        return;
    QDir().mkpath(folder);
    window.grab().save(folder + QLatin1Char('/') + name + QStringLiteral(".png"));
}

void CDialogSuite::init()
{
    SetLanguage(Language::English);
    m_dir = std::make_unique<CTempDir>();
}

void CDialogSuite::cleanup()
{
    if (m_dialog) {
        m_dialog->Release();
        QVERIFY(m_dialog->WaitIdle());
    }
    m_dialog.reset();
    ResetMore();
    m_dir.reset();
    SetLanguage(Language::English);
}

void CDialogSuite::ShowDialog()
{
    m_dialog = std::make_unique<CTestDialog>(m_dir->File("no-ports"), m_dir->Path());
    m_dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dialog.get()));
}

}  // namespace apptest
