#pragma once
// The steps of an update as the main window runs them: the five steps
// driven by the main button, the click gate, closing, and the three
// workers, each a thin use of one operation (Operations.h) whose outcome
// is shown through the outcome table (Outcome.h).
//
// The window is reached through the pure virtual operations below, which
// the main dialog implements with its controls and a test implements by
// recording. Two kinds exist:
// - posted messages (PostTextMessage, PostValueMessage): the window applies
//   them later on its own thread, in the order posted;
// - direct control operations (ShowControl, SetMainButtonText, the
//   progress operations, SetStatusLine, ShowMessage): they run on the
//   window's thread and the caller waits until they are done, so a call
//   from a worker comes after everything that worker posted before it.
//
// At most one worker runs at a time: the window thread sets m_bBusy before
// it starts one and the worker clears it as its very last action but one:
// the last is WorkerEnded, which tells the window. While it is set the main
// button ignores clicks and closing is refused.

#include "app/workflow/Operations.h"
#include "app/workflow/Outcome.h"
#include "app/workflow/StopRequest.h"
#include "app/workflow/StringIds.h"
#include "firmware/FirmwareFile.h"
#include "link/DeviceLink.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

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

inline constexpr int MAX_PORTS = 32;          // room in the port list
inline constexpr int SEARCH_PORT_LIMIT = 7;   // ports listed by one enumeration
inline constexpr unsigned CLICK_TIMER_ID = 1;
inline constexpr unsigned CLICK_GATE_MS = 1000;
inline constexpr int SEARCH_HOLD_MS = 1000;   // the full bar stays this long after a search
inline constexpr uint32_t INSTRUCTION_COLOR = 0x0A27CC;  // RGB(10, 39, 204)

class CUpdateWorkflow : public CDeviceLink {
public:
    CUpdateWorkflow();
    // A subclass that implements the window operations must call
    // FinishWorker() in its own destructor, while they still work.
    virtual ~CUpdateWorkflow();
    CUpdateWorkflow(const CUpdateWorkflow&) = delete;
    CUpdateWorkflow& operator=(const CUpdateWorkflow&) = delete;

    // ---- The window, as the workflow sees it.
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
    // The file dialog; true and the path in m_strFilePath when a file was chosen.
    virtual bool ChooseFile() = 0;
    // Starts the one-second click-gate timer; its identifier, 0 on failure.
    // When it fires the window calls OnTimer with the identifier.
    virtual unsigned StartClickTimer() = 0;
    virtual void KillClickTimer(unsigned id) = 0;
    // Asks the window to close (which runs OnClose first).
    virtual void CloseWindow() = 0;
    virtual void BeginWaitCursor() {}
    virtual void EndWaitCursor() {}
    // A worker's last word, from its own thread after m_bBusy is clear:
    // the window calls OnWorkerEnded on its thread.
    virtual void WorkerEnded() {}

    // ---- Senders: post a copy of the text; callable from any thread.
    void PostFilePane(const std::string& text) { PostTextMessage(UWM_PANE_FILE, text); }
    void PostDevicePane(const std::string& text) { PostTextMessage(UWM_PANE_DEVICE, text); }
    void PostPortPane(const std::string& text) { PostTextMessage(UWM_PANE_PORT, text); }
    void PostButtonText(const std::string& text) { PostTextMessage(UWM_SHOW_BUTTON, text); }
    void PostStatus1(const std::string& text) { PostTextMessage(UWM_STATUS1, text); }
    void PostStatus2(const std::string& text) { PostTextMessage(UWM_STATUS2, text); }
    void PostStatus3(const std::string& text) { PostTextMessage(UWM_STATUS3, text); }
    void PostStatus4(const std::string& text) { PostTextMessage(UWM_STATUS4, text); }
    void PostInfo1(const std::string& text) { PostTextMessage(UWM_INFO1, text); }
    void PostInfo2(const std::string& text) { PostTextMessage(UWM_INFO2, text); }
    void PostInfo3(const std::string& text) { PostTextMessage(UWM_INFO3, text); }

    // Sets the four status lines at once from string IDs: IDS_NONE empties
    // a line, KEEP_LINE leaves it as it is.
    void SetStatusLines(int id1, int id2, int id3, int id4);
    void SetStatusLines(const StatusLines& lines) { SetStatusLines(lines[0], lines[1], lines[2], lines[3]); }
    // Posts the four status lines from string IDs, line 1 first; IDS_NONE
    // posts an empty line.
    void PostStatusLines(const StatusLines& lines);
    void ShowInstructions();

    // ---- Handlers, on the window thread.
    void OnMainButton();
    void OnYes() { OnMainButton(); }
    void OnNo();
    void OnTimer(unsigned id);
    // False when closing is refused (a worker runs); otherwise the file is
    // closed, a found device is restarted, and the window may close.
    bool OnClose();
    // A worker has ended (WorkerEnded): its thread is joined, and a window
    // that was asked to end closes now.
    void OnWorkerEnded();
    // The program is asked to end (a signal, the display gone): a close
    // that cannot be refused. A running worker is asked to stop at its next
    // step (a transfer finishes its line and tells the device to leave its
    // half-written state), and the window closes when it has ended.
    void OnEndRequest();
    bool IsEnding() const { return m_bEnding; }

    // ---- The steps.
    // Virtual so that a test can change the file between the check and
    // the load.
    virtual bool CheckFileHeader();
    bool FindComPorts();
    // Worker entries: each runs its step and ends with m_bBusy cleared.
    static void LoadThreadProc(CUpdateWorkflow* dialog) { dialog->RunWorker(&CUpdateWorkflow::LoadFile); }
    static void SearchThreadProc(CUpdateWorkflow* dialog) { dialog->RunWorker(&CUpdateWorkflow::SearchDevice); }
    static void TransferThreadProc(CUpdateWorkflow* dialog) { dialog->RunWorker(&CUpdateWorkflow::TransferFirmware); }
    void LoadFile();
    void SearchDevice();
    void TransferFirmware();

    // Joins the worker; waits for a running one first.
    void FinishWorker();
    bool IsWorkerRunning() const { return m_bBusy.load() != 0; }

    // ---- The step and the busy flag (see the busy rule above).
    WorkflowStep Step() const { return static_cast<WorkflowStep>(m_nStep.load()); }
    // The one way the step changes: to what the button, an outcome (its
    // row's next step) or "No" leads to.
    void EnterStep(WorkflowStep step) { m_nStep = step; }

    int m_bClickReady = 0;
    unsigned m_nClickTimer = 0;

    int m_nPortCount = 0;
    std::array<std::string, MAX_PORTS> m_strPorts;      // names shown, e.g. COM3
    std::array<std::string, MAX_PORTS> m_strPortPaths;  // the device node of each
    std::string m_strDeniedPort;  // first port of the last listing refused for lack of permission
    std::string m_strDevice;
    std::string m_strFileVersion1;
    std::string m_strFileVersion2;
    std::string m_strFilePath;
    CFirmwareFile m_file;
    // What the last good load checked; the search and the transfer use
    // this, never the file again.
    CLoadedFirmware m_firmware;

    // Where the port listing looks: the per-user port directory and the
    // sysfs root. Tests point both elsewhere.
    std::string m_portDirectory;
    std::string m_sysfsRoot = "/sys";
    // How long the full bar stays after a search (tests shorten it).
    int m_nSearchHoldMs = SEARCH_HOLD_MS;

protected:
    // Shared with the workers: the window thread sets m_bBusy before it
    // starts one, the worker clears it; each side writes m_nStep only while
    // the busy rule gives it the step.
    std::atomic<int> m_bBusy{0};
    std::atomic<int> m_nStep{StepWelcome};

    // Starts a worker thread; throws std::system_error when none can be had.
    virtual std::thread LaunchWorker(void (*threadProc)(CUpdateWorkflow*));
    // Asks a running worker to stop at its next step.
    CStopRequest m_stop;

private:
    // Starts the worker for the step just entered; when no thread can be
    // had, says so and goes back to stepBefore.
    void StartWorker(void (*threadProc)(CUpdateWorkflow*), int stepBefore);
    void RunWorker(void (CUpdateWorkflow::*body)());
    // Shows an outcome's status lines, posted in the table's order.
    void PostOutcome(Outcome outcome, const OutcomeContext& context);

    std::thread m_worker;
    bool m_bEnding = false;
};
