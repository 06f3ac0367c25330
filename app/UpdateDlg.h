#pragma once
// The main window: a fixed-size dialog over the stretched backdrop with
// the title and file lines, the four status lines, the main, "Yes" and
// "No" buttons, the percent bar and a status bar with the file, device and
// port panes. It owns the workflow (CUpdateWorkflow) and shows what the
// workflow tells it through its view (CWorkflowView).
//
// Everything a worker thread hands the window goes through one queue, the
// window thread's posted events, in the order the worker made it: texts and
// values as events that own them; a direct control call as an event the
// worker waits on (so it comes after everything that worker posted before
// it); the worker's end as an event. The widgets themselves are plain
// single-thread widgets and are only ever touched on the window thread.

#include "app/workflow/UpdateWorkflow.h"
#include "widgets/BackdropDialog.h"
#include "widgets/ColorLabel.h"
#include "widgets/PercentBar.h"
#include "widgets/ShapedButton.h"

#include <QEvent>
#include <QIcon>
#include <QLabel>
#include <QRect>
#include <QString>
#include <QTimer>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CAnnouncements;
class QCloseEvent;
class QStatusBar;

// A workflow message with its own copy of the text, or a number.
class CWorkflowEvent : public QEvent {
public:
    CWorkflowEvent(int message, QString text, int value = 0)
        : QEvent(static_cast<QEvent::Type>(message)), m_text(std::move(text)), m_value(value) {}
    const QString& Text() const { return m_text; }
    int Value() const { return m_value; }

private:
    QString m_text;
    int m_value;
};

// A workflow text for the window: UTF-8 where it is valid UTF-8 (paths,
// the program's own texts), otherwise 8-bit Latin-1 (texts from firmware
// files and devices). It ends at its first NUL byte.
QString ToQString(const std::string& text);

// Dialog template 102, in pixels.
namespace DialogLayout {
// Dialog units to pixels for the template's 8-point face at 96 dpi.
constexpr int X(int dlu) { return dlu * 3 / 2; }
constexpr int Y(int dlu) { return dlu * 13 / 8; }
inline constexpr int kClientWidth = 440;   // 293 units
inline constexpr int kClientHeight = 453;  // 279 units
inline QRect Rect(int left, int top, int width, int height) { return QRect(X(left), Y(top), X(width), Y(height)); }
}  // namespace DialogLayout

// The status bar's panes; each shows the text of the same ID until the
// workflow fills it.
enum : int { ID_PANE_DEVICE = 101, ID_PANE_PORT = 102, ID_PANE_FILE = 103 };

inline constexpr int STATUS_PANE_FILE_MARGIN = 150;  // the file pane is this much narrower than the window
inline constexpr int STATUS_PANE_DEVICE_WIDTH = 90;

class CUpdateDlg : public CBackdropDialog, public CWorkflowView {
    Q_OBJECT
public:
    explicit CUpdateDlg(QWidget* parent = nullptr);
    ~CUpdateDlg() override;

    // Window caption and the message boxes' caption.
    static QString Caption();
    static QString MessageCaption();

    // The status bar's pane with this ID (101, 102 or 103).
    QLabel* Pane(int id) const;
    QStatusBar* StatusBar() const { return m_statusBar; }
    CColorLabel* StatusLabel(int line) const;  // 1..4
    CColorLabel* InfoLabel(int line) const;    // 1..3

    CUpdateWorkflow& Workflow() { return m_workflow; }
    const CUpdateWorkflow& Workflow() const { return m_workflow; }

    // ---- The window operations of the workflow.
    void PostTextMessage(int message, std::string text) override;
    void PostValueMessage(int message, int value) override;
    void ShowControl(Control control, bool show) override;
    void SetMainButtonText(const std::string& text) override;
    void SetProgressPos(int pos) override;
    void SetProgressStep(int step) override;
    void StepProgress() override;
    void SetStatusLine(int line, const std::string& text) override;
    void SetStatusLineColor(int line, uint32_t rgb) override;
    void ShowMessage(const std::string& text, MessageIcon icon) override;
    bool ChooseFile(std::string& path) override;
    unsigned StartClickTimer() override;
    void KillClickTimer(unsigned id) override;
    void CloseWindow() override;
    void BeginWaitCursor() override;
    void EndWaitCursor() override;
    void WorkerEnded() override;
    void RunOnWindowThread(const std::function<void()>& work) override { RunInWindow(work); }

    // Runs work on the window thread and returns when it is done. From
    // another thread it is queued behind what that thread posted before;
    // once the channel is closed it is dropped and the call returns at
    // once.
    void RunInWindow(const std::function<void()>& work);
    // From now on no worker waits for the window: calls waiting now return,
    // later ones are dropped. For a window that will not run its events
    // again (destroyed, or the program ending under it).
    void CloseChannel();

    // An end signal (SIGINT, SIGTERM, SIGHUP): the first one closes what
    // the window shows on top of itself and ends the program through
    // OnEndRequest; later ones change nothing.
    void OnEndSignal(int signalNumber);
    // The signal that ended the program, 0 when none did.
    int EndSignal() const { return m_nEndSignal; }

    // What a screen reader is told without being asked.
    CAnnouncements& Announcements() const { return *m_announcements; }
    // The program ends under the window (its display went away, exit() is
    // running): no event will be handled again. Stops a running worker,
    // waits for it to wind down, and does what closing does.
    void WindDownAtExit();

    CPercentBar m_progress;
    CShapedButton m_btnYes;
    CShapedButton m_btnNo;
    CShapedButton m_btnMain;
    CColorLabel m_lblInfo1;
    CColorLabel m_lblInfo2;
    CColorLabel m_lblInfo3;
    CColorLabel m_lblStatus1;
    CColorLabel m_lblStatus2;
    CColorLabel m_lblStatus3;
    CColorLabel m_lblStatus4;
    QIcon m_hIcon;
    unsigned m_nMsgTimer = 0;

public slots:
    void reject() override;

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void OnInitDialog();
    // Applies a workflow message on the window thread.
    void OnWorkflowMessage(const CWorkflowEvent& message);
    QWidget* ControlWidget(Control control);

    QStatusBar* m_statusBar = nullptr;
    QLabel* m_paneFile = nullptr;
    QLabel* m_paneDevice = nullptr;
    QLabel* m_panePort = nullptr;
    QTimer m_clickTimer;
    int m_nEndSignal = 0;
    CAnnouncements* m_announcements = nullptr;

    // Direct calls from workers that wait for the window.
    struct PendingCall;
    std::mutex m_callMutex;
    bool m_bChannelClosed = false;
    std::vector<std::weak_ptr<PendingCall>> m_pendingCalls;

    // Last, so that it goes first: it stops and joins its worker while the
    // controls that worker reaches are still there.
    CUpdateWorkflow m_workflow{*this};
};
