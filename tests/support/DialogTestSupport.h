#pragma once
// The one driver of the real main window, for every suite that needs the
// window: the steps of StepDriver.h taken with the mouse, message boxes
// confirmed at once and kept, the file choice answered through the seam of
// StepDriver.h (directly, or through the real file dialog), workers held
// where they set a progress value, and a look at what the window shows.

#include "StepDriver.h"
#include "app/UpdateDlg.h"
#include "app/workflow/StringTable.h"
#include "DeviceRecords.h"
#include "FirmwareMaker.h"

#include <QFileDialog>
#include <QList>
#include <QMessageBox>
#include <QStringList>
#include <QTest>
#include <QTimer>

#include <condition_variable>
#include <functional>
#include <memory>
#include <initializer_list>
#include <mutex>
#include <string>

namespace apptest {

using ::CTempDir;

// A message box the window showed, as the user saw it.
struct SeenBox {
    QString caption;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QColor background;  // its palette's window colour
};

// Chooses a file in an open file dialog as a user typing its name does,
// and confirms.
bool ChooseInFileDialog(QFileDialog* files, const QString& path);

// A click in a button's middle, as the mouse makes it: nothing more (the
// steps of the driver open the click gate and wait).
void MouseClick(QAbstractButton& button);
// A double click as the window system delivers it: press, release, a
// second press reported as a double click, release.
void MouseDoubleClick(QAbstractButton& button);

// The real dialog. Its port listing sees only the port folder it is given
// (none by default) and an empty sysfs.
class CTestDialog : public CSteps<CUpdateDlg> {
public:
    CTestDialog();
    CTestDialog(const std::string& portDirectory, const std::string& sysfsRoot);
    ~CTestDialog() override;

    // From now on the file choice shows the real file dialog. It is
    // answered with the path of NextFile() (or cancelled), or by answer,
    // which returns true once it has closed the dialog (it is asked again
    // until then).
    void UseFileDialog(std::function<bool(QFileDialog*)> answer = {});
    // The file choice is the path of NextFile() alone again, without a
    // file dialog (which would open a folder instead of choosing it).
    void SkipFileDialog() { m_useFileDialog = false; }
    // The name filters of the last file dialog.
    QStringList FileFilters() const { return m_fileFilters; }
    // What the last file dialog's file-type box showed.
    QString FileTypeShown() const { return m_fileTypeShown; }
    // The message boxes shown so far, each confirmed with OK at once, or
    // by answer, which returns true once it has closed the box (it is asked
    // again until then).
    const QList<SeenBox>& Boxes() const { return m_boxes; }
    void AnswerBoxesWith(std::function<bool(QMessageBox*)> answer) { m_boxAnswer = std::move(answer); }

    // The next worker that sets the bar to this value (directly or by a
    // posted message) waits there until Release().
    void HoldAtProgress(int value);
    bool IsHeld();
    void Release();

    void AnswerNo() override { MouseClick(m_btnNo); }
    bool Close() override { return close(); }
    std::array<std::string, 4> ShownLines() const override;
    std::string ShownCaption() const override;

    void SetProgressPos(int pos) override;
    void PostValueMessage(int message, int value) override;

protected:
    bool ChooseFile(std::string& path) override;
    void PressMain() override { MouseClick(m_btnMain); }
    void PressYes() override { MouseClick(m_btnYes); }
    void RunWindow() override;
    void AfterWorkers() override;

private:
    void AnswerModalWindows();
    void HoldIfAsked(int value);

    QTimer m_modalTimer;
    QList<SeenBox> m_boxes;
    std::function<bool(QMessageBox*)> m_boxAnswer;
    QMessageBox* m_box = nullptr;  // the box being answered
    bool m_useFileDialog = false;
    std::function<bool(QFileDialog*)> m_fileAnswer;
    QFileDialog* m_fileDialog = nullptr;
    QStringList m_fileFilters;
    QString m_fileTypeShown;
    QString m_fileToChoose;  // the real dialog's answer; empty: cancel

    std::mutex m_holdMutex;
    std::condition_variable m_wake;
    int m_holdAt = -1;
    bool m_held = false;
    bool m_release = false;
};

// The text with this ID in the current language.
QString Tr(int id);

// The fixture of the window suites: every test starts in English with a
// scratch folder of its own; a dialog the test left is let go, waited for
// and closed, then what the suite adds (ResetMore), then the folder.
class CDialogSuite : public QObject {
    Q_OBJECT
protected slots:
    void init();
    void cleanup();

protected:
    virtual void ResetMore() {}
    // A shown dialog that sees only the scratch folder's ports (none).
    void ShowDialog();

    std::unique_ptr<CTempDir> m_dir;
    std::unique_ptr<CTestDialog> m_dialog;
};
// The status lines of a dialog, 1 to 4.
QStringList ShownStatusLines(const CUpdateDlg& dialog);
// Texts by ID; IDS_NONE for an empty line.
QStringList Lines(std::initializer_list<int> ids);
// Writes a picture of the window when CVF_DIALOG_SHOTS names a folder.
void Shoot(QWidget& window, const QString& name);

// The window's pictures, one below the other, in turns that show every
// part with a colour of its own: texts in all seven lines (the instruction
// line in its blue), all three panes and the main button; the bar part-way,
// its text over both parts; "Yes" and a disabled "No". Leaves the window in
// the last of them; a second call gives the same pictures.
QImage PictureOfEveryPart(CUpdateDlg& dialog);
// How many pixels two pictures differ in; all of them when their sizes do.
int DifferingPixels(const QImage& a, const QImage& b);

}  // namespace apptest

// Fails the test with what differs when the window does not show the screen
// of an outcome (or another expected screen): QVERIFY_SHOWS(dialog,
// Outcome::Done) or QVERIFY_SHOWS(dialog, Outcome::Compatible, "version").
#define QVERIFY_SHOWS(window, ...)                                     \
    do {                                                               \
        const std::string mismatch_ = (window).Mismatch(__VA_ARGS__);  \
        QVERIFY2(mismatch_.empty(), mismatch_.c_str());                \
    } while (false)
