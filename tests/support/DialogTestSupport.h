#pragma once
// Helpers for the main-window tests: firmware files in a private folder,
// the modal windows the dialog opens answered as a user would, a dialog
// whose workers can be held at a chosen point, and a look at its lines.

#include "app/UpdateDlg.h"
#include "app/workflow/StringTable.h"
#include "DeviceRecords.h"
#include "FirmwareMaker.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>

namespace apptest {

using ::CTempDir;

// Chooses a file in an open file dialog as a user typing its name does,
// and confirms.
inline bool ChooseInFileDialog(QFileDialog* files, const QString& path)
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

// A message box the dialog showed, as the user saw it.
struct SeenBox {
    QString caption;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
};

// Watches for the dialog's modal windows and answers them: message boxes
// are read and confirmed with OK; a file dialog gets fileAnswer, which
// returns true once it has closed the dialog (it is asked again until
// then). The default answer chooses fileToChoose, or cancels when that is
// empty.
class CModalWatcher {
public:
    CModalWatcher()
    {
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Poll(); });
        m_timer.start();
    }

    QList<SeenBox> boxes;
    int fileDialogs = 0;
    QString fileToChoose;
    QStringList fileFilters;  // the name filters of the last file dialog
    std::function<bool(QFileDialog*)> fileAnswer;

private:
    void Poll()
    {
        for (QWidget* window : QApplication::topLevelWidgets()) {
            if (!window->isVisible())
                continue;
            if (auto* box = qobject_cast<QMessageBox*>(window)) {
                boxes.append({box->windowTitle(), box->text(), box->icon()});
                ShootBox(*box);
                if (QAbstractButton* ok = box->button(QMessageBox::Ok))
                    ok->click();
                else
                    box->reject();
            } else if (auto* files = qobject_cast<QFileDialog*>(window)) {
                if (files != m_current) {
                    m_current = files;
                    ++fileDialogs;
                    fileFilters = files->nameFilters();
                }
                if (fileAnswer ? fileAnswer(files) : DefaultAnswer(files))
                    m_current = nullptr;
            }
        }
    }

    bool DefaultAnswer(QFileDialog* files)
    {
        if (fileToChoose.isEmpty()) {
            files->reject();
            return true;
        }
        return ChooseInFileDialog(files, fileToChoose);
    }

    // A picture of the box when CVF_DIALOG_SHOTS names a folder.
    static void ShootBox(QWidget& box)
    {
        static int count = 0;
        const QString folder = qEnvironmentVariable("CVF_DIALOG_SHOTS");
        if (folder.isEmpty())
            return;
        QDir().mkpath(folder);
        box.grab().save(QStringLiteral("%1/box-%2.png").arg(folder).arg(++count));
    }

    QTimer m_timer;
    QFileDialog* m_current = nullptr;
};

// The real dialog, pointed at a port folder of the test's own and an empty
// sysfs, whose workers can be held where they report a progress value.
class CTestDialog : public CUpdateDlg {
public:
    CTestDialog(const std::string& portDirectory, const std::string& sysfsRoot)
    {
        m_portDirectory = portDirectory;
        m_sysfsRoot = sysfsRoot;
    }
    ~CTestDialog() override { Release(); }

    // The next worker that sets the bar to this value (directly or by a
    // posted message) waits there until Release().
    void HoldAtProgress(int value)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_holdAt = value;
        m_held = false;
        m_release = false;
    }
    bool IsHeld()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_held;
    }
    void Release()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_release = true;
            m_holdAt = -1;
        }
        m_wake.notify_all();
    }

    // Runs on the loading worker as it starts, before it opens the file.
    std::function<void()> onLoadStart;

    void SetProgressPos(int pos) override
    {
        HoldIfAsked(pos);
        CUpdateDlg::SetProgressPos(pos);
    }
    void PostValueMessage(int message, int value) override
    {
        if (message == UWM_SET_PROGRESS)
            HoldIfAsked(value);
        CUpdateDlg::PostValueMessage(message, value);
    }
    void PostTextMessage(int message, std::string text) override
    {
        if (message == UWM_STATUS1 && text == Text(113) && onLoadStart)
            onLoadStart();
        CUpdateDlg::PostTextMessage(message, std::move(text));
    }

private:
    void HoldIfAsked(int value)
    {
        if (QThread::currentThread() == thread())
            return;
        std::unique_lock<std::mutex> lock(m_mutex);
        if (value != m_holdAt)
            return;
        m_holdAt = -1;
        m_held = true;
        m_wake.wait(lock, [this] { return m_release; });
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    int m_holdAt = -1;
    bool m_held = false;
    bool m_release = false;
};

inline QString Tr(int id)
{
    return QString::fromStdString(Text(id));
}

inline QStringList ShownStatusLines(const CUpdateDlg& dialog)
{
    return {dialog.m_lblStatus1.text(), dialog.m_lblStatus2.text(), dialog.m_lblStatus3.text(),
            dialog.m_lblStatus4.text()};
}

inline QStringList Lines(std::initializer_list<int> ids)
{
    QStringList lines;
    for (int id : ids)
        lines << (id == 0 ? QString() : Tr(id));
    return lines;
}

// Clicks a button in its middle, as the mouse would.
inline void Click(QAbstractButton& button)
{
    QTest::mouseClick(&button, Qt::LeftButton, Qt::NoModifier, button.rect().center());
}

// A double click as the window system delivers it: press, release, a
// second press reported as a double click, release.
inline void DoubleClick(QAbstractButton& button)
{
    const QPoint at = button.rect().center();
    QTest::mousePress(&button, Qt::LeftButton, Qt::NoModifier, at);
    QTest::mouseRelease(&button, Qt::LeftButton, Qt::NoModifier, at);
    QTest::mousePress(&button, Qt::LeftButton, Qt::NoModifier, at);
    QTest::mouseDClick(&button, Qt::LeftButton, Qt::NoModifier, at);
    QTest::mouseRelease(&button, Qt::LeftButton, Qt::NoModifier, at);
}

// Opens the click gate as its timer does when it fires, so that a test
// need not wait a second between two clicks that are not about the gate.
inline void OpenClickGate(CUpdateDlg& dialog)
{
    dialog.OnTimer(dialog.m_nClickTimer);
}

// Waits (running the event loop) until no worker runs.
inline bool WaitIdle(CUpdateDlg& dialog, int timeoutMs = 30000)
{
    QElapsedTimer timer;
    timer.start();
    while (dialog.IsWorkerRunning()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    return true;
}

// Writes a picture of the window when CVF_DIALOG_SHOTS names a folder.
inline void Shoot(QWidget& window, const QString& name)
{
    const QString folder = qEnvironmentVariable("CVF_DIALOG_SHOTS");
    if (folder.isEmpty())
        return;
    QDir().mkpath(folder);
    window.grab().save(folder + QLatin1Char('/') + name + QStringLiteral(".png"));
}

}  // namespace apptest
