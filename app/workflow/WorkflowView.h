#pragma once
// The window as the workflow (UpdateWorkflow.h) sees it. The main dialog
// implements it with its controls; a test implements it by recording.
//
// Two kinds of operation exist:
// - posted messages (PostTextMessage, PostValueMessage): the window applies
//   them later on its own thread, in the order posted;
// - direct operations (ShowControl, SetMainButtonText, the progress
//   operations, SetStatusLine, ShowMessage, RunOnWindowThread): they run on
//   the window's thread and the caller waits until they are done, so a call
//   from a worker comes after everything that worker posted before it.

#include <cstdint>
#include <functional>
#include <string>

// Messages from the workflow to the window.
inline constexpr int WM_APP = 0x8000;
enum WorkflowMessage : int {
    UWM_PANE_FILE = WM_APP + 1,      // text: firmware-file pane (103)
    UWM_PANE_DEVICE = WM_APP + 2,    // text: device pane (101)
    UWM_PANE_PORT = WM_APP + 3,      // text: port pane (102)
    UWM_OPEN_PORT = WM_APP + 4,      // never posted
    UWM_CLOSE_PORT = WM_APP + 5,     // never posted
    UWM_SHOW_BUTTON = WM_APP + 6,    // text: show the main button with this caption
    UWM_HIDE_BUTTON = WM_APP + 7,    // never posted
    UWM_SHOW_PROGRESS = WM_APP + 8,  // never posted
    UWM_HIDE_PROGRESS = WM_APP + 9,  // never posted
    UWM_SET_PROGRESS = WM_APP + 10,  // value: bar position 0..100
    UWM_STATUS1 = WM_APP + 11,       // text: status lines 1 to 4
    UWM_STATUS2 = WM_APP + 12,
    UWM_STATUS3 = WM_APP + 13,
    UWM_STATUS4 = WM_APP + 14,
    UWM_START_TIMER = WM_APP + 15,   // never posted (value: period in ms of timer 1)
    UWM_STOP_TIMER = WM_APP + 16,    // never posted
    UWM_INFO1 = WM_APP + 17,         // text: information lines 1 to 3
    UWM_INFO2 = WM_APP + 18,
    UWM_INFO3 = WM_APP + 19,
};

// The controls a worker shows and hides directly.
enum class Control { MainButton, YesButton, NoButton, Progress };
enum class MessageIcon { Information, Exclamation };

class CWorkflowView {
public:
    virtual ~CWorkflowView() = default;

    virtual void PostTextMessage(int message, std::string text) = 0;
    virtual void PostValueMessage(int message, int value) = 0;
    virtual void ShowControl(Control control, bool show) = 0;
    virtual void SetMainButtonText(const std::string& text) = 0;
    virtual void SetProgressPos(int pos) = 0;
    virtual void SetProgressStep(int step) = 0;
    virtual void StepProgress() = 0;
    // Status line 1..4, set at once.
    virtual void SetStatusLine(int line, const std::string& text) = 0;
    virtual void SetStatusLineColor(int line, uint32_t rgb) = 0;
    // A message box with an OK button; returns when the user confirmed it.
    virtual void ShowMessage(const std::string& text, MessageIcon icon) = 0;
    // The file dialog; true and the path when a file was chosen.
    virtual bool ChooseFile(std::string& path) = 0;
    // Starts the one-second click-gate timer; its identifier, 0 on failure.
    // When it fires the window calls the workflow's OnTimer with it.
    virtual unsigned StartClickTimer() = 0;
    virtual void KillClickTimer(unsigned id) = 0;
    // Asks the window to close (which runs the workflow's OnClose first).
    virtual void CloseWindow() = 0;
    virtual void BeginWaitCursor() {}
    virtual void EndWaitCursor() {}
    // Runs work on the window thread, the thread that lives as long as the
    // window, and returns when it is done; on that thread itself at once.
    virtual void RunOnWindowThread(const std::function<void()>& work) = 0;
    // A worker's last word, from its own thread after the busy flag is
    // clear: the window calls the workflow's OnWorkerEnded on its thread.
    virtual void WorkerEnded() {}
};
