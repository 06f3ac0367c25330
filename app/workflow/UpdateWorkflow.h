#pragma once
// The steps of an update as the main window runs them: the five steps
// driven by the main button, the click gate, closing, and the three
// workers. The loader runs the load operation itself (Operations.h); the
// search and the transfer happen in a device process (cvf-device) that
// the workers supervise through CDeviceSupervisor, relaying its news to
// the window. Every outcome is shown through the outcome table
// (Outcome.h). The window is reached only through its view
// (WorkflowView.h).
//
// At most one worker runs at a time: the window thread sets m_bBusy before
// it starts one and the worker clears it as its very last action but one:
// the last is WorkerEnded, which tells the window. While it is set the main
// button ignores clicks and closing is refused.
//
// A device process lives from the start of the search to its result. It
// is started on the window thread (it ends with the thread that started
// it). Between the end of the search worker and "Yes" the window thread
// holds it while it waits at the question: "No", and closing the window
// then, tell it so without waiting (it restarts the device by itself);
// "Yes" hands it to the transfer worker.

#include "app/workflow/DeviceSupervisor.h"
#include "app/workflow/Operations.h"
#include "app/workflow/Outcome.h"
#include "app/workflow/StopRequest.h"
#include "app/workflow/StringIds.h"
#include "app/workflow/WorkflowView.h"
#include "firmware/FirmwareFile.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

inline constexpr int MAX_PORTS = 32;          // room in the port list
inline constexpr unsigned CLICK_TIMER_ID = 1;
inline constexpr unsigned CLICK_GATE_MS = 1000;
inline constexpr int SEARCH_HOLD_MS = 1000;   // the full bar stays this long after a search
inline constexpr uint32_t INSTRUCTION_COLOR = 0x0A27CC;  // RGB(10, 39, 204)

class CUpdateWorkflow {
public:
    explicit CUpdateWorkflow(CWorkflowView& view);
    // The view must still work here: a window destroys its workflow (which
    // stops and joins a running worker) before its controls.
    ~CUpdateWorkflow();
    CUpdateWorkflow(const CUpdateWorkflow&) = delete;
    CUpdateWorkflow& operator=(const CUpdateWorkflow&) = delete;

    // ---- Senders: post a copy of the text; callable from any thread.
    void PostFilePane(const std::string& text) { m_view.PostTextMessage(UWM_PANE_FILE, text); }
    void PostDevicePane(const std::string& text) { m_view.PostTextMessage(UWM_PANE_DEVICE, text); }
    void PostPortPane(const std::string& text) { m_view.PostTextMessage(UWM_PANE_PORT, text); }
    void PostButtonText(const std::string& text) { m_view.PostTextMessage(UWM_SHOW_BUTTON, text); }
    void PostStatus1(const std::string& text) { m_view.PostTextMessage(UWM_STATUS1, text); }
    void PostStatus2(const std::string& text) { m_view.PostTextMessage(UWM_STATUS2, text); }
    void PostStatus3(const std::string& text) { m_view.PostTextMessage(UWM_STATUS3, text); }
    void PostStatus4(const std::string& text) { m_view.PostTextMessage(UWM_STATUS4, text); }
    void PostInfo1(const std::string& text) { m_view.PostTextMessage(UWM_INFO1, text); }
    void PostInfo2(const std::string& text) { m_view.PostTextMessage(UWM_INFO2, text); }
    void PostInfo3(const std::string& text) { m_view.PostTextMessage(UWM_INFO3, text); }

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
    // The program ends under the window (its display went away): no event
    // will be handled again. Stops a running worker, waits for it to wind
    // down, and does what closing does.
    void WindDown();

    // ---- The steps.
    bool CheckFileHeader();
    bool FindComPorts();
    // Worker entries: each runs its step and ends with m_bBusy cleared.
    static void LoadThreadProc(CUpdateWorkflow* workflow) { workflow->RunWorker(&CUpdateWorkflow::LoadFile); }
    static void SearchThreadProc(CUpdateWorkflow* workflow) { workflow->RunWorker(&CUpdateWorkflow::SearchDevice); }
    static void TransferThreadProc(CUpdateWorkflow* workflow) { workflow->RunWorker(&CUpdateWorkflow::TransferFirmware); }
    void LoadFile();
    void SearchDevice();
    void TransferFirmware();

    // Joins the worker; waits for a running one first.
    void FinishWorker();
    bool IsWorkerRunning() const { return m_bBusy.load() != 0; }
    // Asks a running worker to stop at its next step.
    void RequestStop() { m_stop.Request(); }

    // ---- The step and the busy flag (see the busy rule above).
    WorkflowStep Step() const { return static_cast<WorkflowStep>(m_nStep.load()); }
    // The one way the step changes: to what the button, an outcome (its
    // row's next step) or "No" leads to.
    void EnterStep(WorkflowStep step) { m_nStep = step; }
    // As if a worker ran, for a test of what the window refuses while one
    // does, or of a worker body run on the test's own thread.
    void SetBusy(bool busy) { m_bBusy = busy ? 1 : 0; }
    // A device process waits at the question.
    bool HoldsDevice() const { return m_nHeldDevice >= 0; }

    int m_bClickReady = 0;
    unsigned m_nClickTimer = 0;

    int m_nPortCount = 0;
    std::array<std::string, MAX_PORTS> m_strPorts;      // names shown, e.g. COM3
    std::array<std::string, MAX_PORTS> m_strPortPaths;  // the device node of each
    std::string m_strDeniedPort;  // first port of the last listing refused for lack of permission
    std::string m_strDeniedPath;  // its device path
    std::string m_strPort;        // the port tried last; after a find, the device's
    std::string m_strDevice;
    std::string m_strDeviceVersion1;  // the halves of the device's version answer
    std::string m_strDeviceVersion2;
    std::string m_strFileVersion1;
    std::string m_strFileVersion2;
    std::string m_strFilePath;
    int m_nOpenError = 0;  // errno of the last header check's open, 0 when the file opened
    CFirmwareFile m_file;
    // What the last good load checked; the device process is given this,
    // never the file.
    CLoadedFirmware m_firmware;

    // Where the port listing looks: the per-user port directory and the
    // sysfs root. Tests point both elsewhere.
    std::string m_portDirectory;
    std::string m_sysfsRoot = "/sys";
    // How long the full bar stays after a search, and the device process's
    // limits (tests shorten them).
    int m_nSearchHoldMs = SEARCH_HOLD_MS;
    int m_nSilenceLimitMs = SILENCE_LIMIT_MS;
    int m_nWindDownLimitMs = WIND_DOWN_LIMIT_MS;
    // The device program; tests name the one of their build, or start the
    // device processes' work their own way.
    std::string m_strDeviceProgram = DeviceProgramPath();
    std::shared_ptr<CDeviceLauncher> m_deviceLauncher;
    // Runs right after the header check, before the loader starts (tests
    // change the file in between).
    std::function<void()> m_afterHeaderCheck;
    // Starts a worker thread; throws std::system_error when none can be
    // had. Tests replace it.
    std::function<std::thread(void (*)(CUpdateWorkflow*), CUpdateWorkflow*)> m_launchWorker;

private:
    // Starts the worker for the step just entered; when no thread can be
    // had, says so and goes back to stepBefore.
    void StartWorker(void (*threadProc)(CUpdateWorkflow*), int stepBefore);
    void RunWorker(void (CUpdateWorkflow::*body)());
    // Shows an outcome's status lines, posted in the table's order.
    void PostOutcome(Outcome outcome, const OutcomeContext& context);

    // The search in a device process, its news relayed to the window; the
    // process is held when it found a compatible device.
    Outcome RunSearch(bool& haveVersion);
    // The transfer by the held device process.
    Outcome RunTransfer(int& elapsedSeconds);
    // One turn of the supervisor, the stop request heard as well.
    std::vector<SupervisedEvent> Turn(int device);
    // Tells the held device process the answer (without waiting for it).
    void ReleaseHeldDevice(bool yes);

    CWorkflowView& m_view;
    // Shared with the workers: the window thread sets m_bBusy before it
    // starts one, the worker clears it; each side writes m_nStep only while
    // the busy rule gives it the step.
    std::atomic<int> m_bBusy{0};
    std::atomic<int> m_nStep{StepWelcome};
    CStopRequest m_stop;
    std::thread m_worker;
    bool m_bEnding = false;
    // Used by the window thread and the worker in turn, as the busy rule
    // hands over the step.
    CDeviceSupervisor m_supervisor;
    int m_nHeldDevice = -1;
};
