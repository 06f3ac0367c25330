#include "app/workflow/UpdateWorkflow.h"

#include "app/workflow/PortChoice.h"
#include "app/workflow/StringTable.h"
#include "app/workflow/TransferClock.h"
#include "link/PortList.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>
#include <utility>

namespace {

// How the loader's reports reach the window while its worker runs.
class CLoadView : public COperationObserver {
public:
    explicit CLoadView(CWorkflowView& view) : m_view(view) {}
    void OnFileOpened() override
    {
        m_view.ShowControl(Control::MainButton, false);
        m_view.ShowControl(Control::Progress, true);
        m_view.SetProgressPos(0);
    }
    void OnProgress(int percent) override { m_view.SetProgressPos(percent); }

private:
    CWorkflowView& m_view;
};

}  // namespace

CUpdateWorkflow::CUpdateWorkflow(CWorkflowView& view) : m_view(view)
{
    m_portDirectory = PortDirectory();
}

CUpdateWorkflow::~CUpdateWorkflow()
{
    // A worker still running is told to end; it does not wait for a window
    // that will not answer any more (the window has closed its channel).
    m_stop.Request();
    FinishWorker();
}

void CUpdateWorkflow::FinishWorker()
{
    // The worker's last actions clear m_bBusy and say so; after that it
    // touches nothing of ours, so the join only waits for it to return.
    if (m_worker.joinable())
        m_worker.join();
}

void CUpdateWorkflow::StartWorker(void (*threadProc)(CUpdateWorkflow*), int stepBefore)
{
    if (m_worker.joinable())
        m_worker.join();  // the previous worker has cleared m_bBusy: it is over
    m_stop.Reset();
    try {
        m_worker = m_launchWorker ? m_launchWorker(threadProc, this) : std::thread(threadProc, this);
    } catch (const std::system_error& error) {
        // No thread to be had (the system's limit of threads or memory):
        // nothing has begun, so the step is as it was.
        m_bBusy = 0;
        EnterStep(static_cast<WorkflowStep>(stepBefore));
        m_view.ShowMessage(FormatText(IDS_CANNOT_START, error.what()), MessageIcon::Exclamation);
    }
}

void CUpdateWorkflow::RunWorker(void (CUpdateWorkflow::*body)())
{
    (this->*body)();
    m_bBusy = 0;
    m_view.WorkerEnded();
}

void CUpdateWorkflow::OnWorkerEnded()
{
    // A new worker may have started since this one said it ended.
    if (m_bBusy.load() == 0 && m_worker.joinable())
        m_worker.join();
    if (m_bEnding && m_bBusy.load() == 0)
        m_view.CloseWindow();
}

void CUpdateWorkflow::OnEndRequest()
{
    m_bEnding = true;
    if (m_bBusy.load() != 0) {
        m_stop.Request();
        return;
    }
    m_view.CloseWindow();
}

void CUpdateWorkflow::WindDown()
{
    m_stop.Request();
    FinishWorker();
    OnClose();
}

// ---------------------------------------------------------------------------
// Status block and buttons

void CUpdateWorkflow::SetStatusLines(int id1, int id2, int id3, int id4)
{
    const int ids[] = {id1, id2, id3, id4};
    for (int line = 1; line <= 4; ++line) {
        const int id = ids[line - 1];
        if (id == KEEP_LINE)
            continue;
        m_view.SetStatusLine(line, id == IDS_NONE ? std::string() : Text(id));
    }
}

void CUpdateWorkflow::PostStatusLines(const StatusLines& lines)
{
    for (int line = 0; line < 4; ++line)
        m_view.PostTextMessage(UWM_STATUS1 + line, lines[line] == IDS_NONE ? std::string() : Text(lines[line]));
}

void CUpdateWorkflow::PostOutcome(Outcome outcome, const OutcomeContext& context)
{
    const OutcomeRow& row = OutcomeTable(outcome);
    for (const int line : row.order) {
        const int id = row.lines[line - 1];
        if (id != KEEP_LINE)
            m_view.PostTextMessage(UWM_STATUS1 + line - 1, OutcomeLineText(id, context));
    }
}

void CUpdateWorkflow::ShowInstructions()
{
    m_view.SetStatusLineColor(4, INSTRUCTION_COLOR);
    SetStatusLines(LINES_INSTRUCTIONS);
    m_view.SetMainButtonText(Text(IDS_LOAD_FILE));
}

void CUpdateWorkflow::OnMainButton()
{
    if (m_bClickReady == 0 || m_bBusy.load() != 0 || m_bEnding)
        return;

    // Clicks within a second of this one are ignored; this one counts even
    // when no timer could be had.
    m_nClickTimer = m_view.StartClickTimer();
    if (m_nClickTimer != 0)
        m_bClickReady = 0;

    switch (Step()) {
    case StepWelcome:
        ShowInstructions();
        EnterStep(StepLoadFile);
        break;
    case StepLoadFile:
        if (!m_view.ChooseFile(m_strFilePath))
            break;
        if (CheckFileHeader()) {
            EnterStep(StepFindDevice);
            m_bBusy = 1;
            StartWorker(&CUpdateWorkflow::LoadThreadProc, StepLoadFile);
        } else {
            std::string message = FormatText(IDS_UNEXPECTED_FORMAT, m_strFilePath);
            // A file that does not even open gets the system's reason on a
            // line of its own: the format is then not what is wrong.
            if (m_nOpenError != 0)
                message += "\n" + std::generic_category().message(m_nOpenError);
            m_view.ShowMessage(message, MessageIcon::Information);
        }
        break;
    case StepFindDevice:
        if (FindComPorts()) {
            m_bBusy = 1;
            EnterStep(StepTransfer);
            StartWorker(&CUpdateWorkflow::SearchThreadProc, StepFindDevice);
        }
        break;
    case StepTransfer:
        m_bBusy = 1;
        EnterStep(StepFinished);
        StartWorker(&CUpdateWorkflow::TransferThreadProc, StepTransfer);
        break;
    case StepFinished:
        m_view.CloseWindow();
        break;
    default:
        break;
    }
}

void CUpdateWorkflow::OnNo()
{
    EnterStep(StepFinished);
    m_view.ShowControl(Control::YesButton, false);
    m_view.ShowControl(Control::NoButton, false);
    m_view.SetStatusLine(4, Text(IDS_CLICK_TO_CLOSE));
    m_view.ShowControl(Control::MainButton, true);
    m_view.SetMainButtonText(Text(IDS_CLOSE));
    // The device process restarts the device ("RST|") and ends.
    ReleaseHeldDevice(false);
}

void CUpdateWorkflow::OnTimer(unsigned id)
{
    if (id == m_nClickTimer) {
        m_bClickReady = 1;
        m_view.KillClickTimer(m_nClickTimer);
    }
}

bool CUpdateWorkflow::OnClose()
{
    if (m_bBusy.load() != 0) {
        // While the program winds down the window goes as soon as the
        // worker has ended; nothing to explain.
        if (!m_bEnding)
            m_view.ShowMessage(Text(IDS_CLOSE_REFUSED), MessageIcon::Information);
        return false;
    }
    if (m_file.IsOpen())
        m_file.Close();
    if (Step() == StepTransfer)
        ReleaseHeldDevice(false);
    return true;
}

void CUpdateWorkflow::ReleaseHeldDevice(bool yes)
{
    if (m_nHeldDevice < 0)
        return;
    m_supervisor.Answer(m_nHeldDevice, yes);
    if (!yes)
        m_nHeldDevice = -1;
}

// ---------------------------------------------------------------------------
// Loading

bool CUpdateWorkflow::CheckFileHeader()
{
    // The button handler shows the same text once more for a failed
    // check; one box is enough when the file cannot even be opened.
    CFileError error;
    const bool good = CheckFirmwareHeader(m_file, m_strFilePath, &error);
    m_nOpenError = error.m_osError;
    if (m_afterHeaderCheck)
        m_afterHeaderCheck();
    return good;
}

void CUpdateWorkflow::LoadFile()
{
    PostStatusLines(LINES_LOADING);

    CLoadView view(m_view);
    CLoadOperation operation(m_file, m_strFilePath);
    const LoadOutcome outcome = operation.Run(view, m_stop, m_firmware);
    const OutcomeRow& row = OutcomeTable(OutcomeOf(outcome));

    std::string filePane;
    std::string devicePane;
    if (row.message != IDS_NONE)
        m_view.ShowMessage(FormatText(row.message, m_strFilePath), MessageIcon::Exclamation);
    PostOutcome(row.outcome, {});
    if (outcome == LoadOutcome::Loaded) {
        m_strDevice = m_firmware.device;
        m_strFileVersion1 = m_firmware.version1;
        m_strFileVersion2 = m_firmware.version2;
        PostInfo1(FormatText(IDS_FILE_LOADED, m_strDevice));
        PostInfo2(Text(IDS_SOFTWARE_VERSION));
        PostInfo3(VersionLine(m_strFileVersion1, m_strFileVersion2));
        filePane = m_strFilePath;
        devicePane = m_strDevice;
    }
    EnterStep(row.next);

    PostFilePane(filePane);
    PostDevicePane(devicePane);
    m_view.ShowControl(Control::Progress, false);
    m_view.ShowControl(Control::MainButton, true);
    m_view.SetMainButtonText(Text(row.caption));
}

// ---------------------------------------------------------------------------
// Device search

bool CUpdateWorkflow::FindComPorts()
{
    m_nPortCount = 0;
    m_view.BeginWaitCursor();
    const SearchPorts found = ChooseSearchPorts(ListSerialPorts(m_portDirectory, m_sysfsRoot), SEARCH_PORT_LIMIT);
    m_view.EndWaitCursor();
    m_strDeniedPort = found.deniedPort;
    m_strDeniedPath = found.deniedPath;
    for (const PortInfo& port : found.free) {
        m_strPorts[m_nPortCount] = port.name;
        m_strPortPaths[m_nPortCount] = port.path;
        ++m_nPortCount;
    }

    if (m_nPortCount > 0)
        return true;
    SetStatusLines(OutcomeTable(Outcome::NoPort).lines);
    // The usual reason is a missing group membership, which the lines
    // above do not tell.
    if (!m_strDeniedPort.empty())
        m_view.SetStatusLine(4, NoPermissionText(m_strDeniedPort, m_strDeniedPath));
    return false;
}

std::vector<SupervisedEvent> CUpdateWorkflow::Turn(int device)
{
    pollfd stop{m_stop.WakeFd(), POLLIN, 0};
    std::vector<SupervisedEvent> events = m_supervisor.Turn(1000, std::span<pollfd>(&stop, stop.fd >= 0 ? 1 : 0));
    if (m_stop.Requested())
        m_supervisor.Stop(device);
    // News of an earlier process (one told "No") is of no interest here.
    std::erase_if(events, [device](const SupervisedEvent& e) { return e.id != device; });
    return events;
}

Outcome CUpdateWorkflow::RunSearch(bool& haveVersion)
{
    DeviceJobSpec job;
    job.ask = true;
    for (int i = 0; i < m_nPortCount; ++i)
        job.ports.push_back({m_strPorts[i], m_strPortPaths[i]});
    const std::vector<PortInfo> ports = job.ports;

    // On the window thread, which outlives the search worker: the device
    // process ends with the thread that started it.
    int device = -1;
    int error = 0;
    m_view.RunOnWindowThread([&] {
        m_supervisor.SetProgram(m_strDeviceProgram);
        m_supervisor.SetLauncher(m_deviceLauncher);
        m_supervisor.SetLimits({std::chrono::milliseconds(m_nSilenceLimitMs), std::chrono::milliseconds(m_nWindDownLimitMs)});
        device = m_supervisor.Start(std::move(job), m_firmware.image);
        error = errno;
    });
    if (device < 0) {
        m_view.ShowMessage(FormatText(IDS_CANNOT_START, std::strerror(error)), MessageIcon::Exclamation);
        return Outcome::NoDevice;
    }

    std::optional<Outcome> outcome;
    for (;;) {
        for (const SupervisedEvent& news : Turn(device)) {
            if (news.ended) {
                // Lost before its result: its port is as it was, and
                // nothing was written.
                return news.lost ? LostOutcome(false) : outcome.value_or(Outcome::NoDevice);
            }
            const DeviceEvent& event = news.event;
            const bool known = event.port >= 0 && static_cast<size_t>(event.port) < ports.size();
            switch (event.kind) {
            case EventKind::PortTried:
                if (!known)
                    break;
                m_strPort = ports[static_cast<size_t>(event.port)].name;
                PostStatus3(FormatText(IDS_CHECKING_PORT, m_strPort));
                PostPortPane(m_strPort);
                break;
            case EventKind::Attempt:
                m_view.StepProgress();
                break;
            case EventKind::Answered:
                m_view.SetProgressPos(95);
                break;
            case EventKind::Found:
                m_strDeviceVersion1 = event.haveVersion ? event.version1 : std::string();
                m_strDeviceVersion2 = event.haveVersion ? event.version2 : std::string();
                haveVersion = event.haveVersion;
                if (event.compatible) {
                    // It waits at the question now; the window thread holds
                    // it from here.
                    m_nHeldDevice = device;
                    return Outcome::Compatible;
                }
                outcome = Outcome::Incompatible;
                break;
            case EventKind::Result: {
                // A search ends in its own phase's rows; anything else is no find.
                const std::optional<Outcome> code = OutcomeFromCode(event.outcome);
                outcome = code && OutcomeTable(*code).phase == OutcomePhase::Search && *code != Outcome::Compatible
                              ? *code
                              : Outcome::NoDevice;
                break;
            }
            default:
                break;
            }
        }
    }
}

void CUpdateWorkflow::SearchDevice()
{
    const int portCount = std::max(1, m_nPortCount);
    m_view.ShowControl(Control::MainButton, false);
    m_view.ShowControl(Control::Progress, true);
    m_view.SetProgressPos(0);
    m_view.SetProgressStep(100 / (SEARCH_ATTEMPTS * portCount));

    PostStatus2(FormatText(IDS_PORTS_FOUND, m_nPortCount));
    PostStatus1(Text(IDS_SEARCHING));
    PostStatus3("");
    PostStatus4("");

    bool haveVersion = false;
    const Outcome outcome = RunSearch(haveVersion);
    const OutcomeRow& row = OutcomeTable(outcome);

    // The full bar stays for a second.
    if (outcome != Outcome::SearchStopped) {
        m_view.SetProgressPos(100);
        m_stop.WaitFor(std::chrono::milliseconds(m_nSearchHoldMs));
    }

    OutcomeContext context;
    context.device = m_strDevice;
    context.haveVersion = haveVersion;
    context.version1 = m_strDeviceVersion1;
    context.version2 = m_strDeviceVersion2;
    if (outcome == Outcome::Incompatible) {
        // The lines are set at once and then posted again; the posted ones
        // come last, so line 4 ends as the blank.
        SetStatusLines(LINES_INCOMPATIBLE_AT_ONCE);
    }
    PostOutcome(outcome, context);
    EnterStep(row.next);
    if (outcome == Outcome::Incompatible) {
        m_file.Close();
        m_firmware.Clear();
    }
    if (outcome == Outcome::Compatible) {
        m_view.ShowControl(Control::NoButton, true);
        m_view.ShowControl(Control::YesButton, true);
    } else {
        m_view.ShowControl(Control::MainButton, true);
        m_view.SetMainButtonText(Text(row.caption));
    }
    m_view.ShowControl(Control::Progress, false);
}

// ---------------------------------------------------------------------------
// Transfer

Outcome CUpdateWorkflow::RunTransfer(int& elapsedSeconds)
{
    const int device = std::exchange(m_nHeldDevice, -1);
    if (device < 0 || !m_supervisor.IsRunning(device))
        return LostOutcome(true);
    m_supervisor.Answer(device, true);

    std::optional<Outcome> outcome;
    for (;;) {
        for (const SupervisedEvent& news : Turn(device)) {
            if (news.ended) {
                // A device process lost mid-transfer: its port is as it was
                // before it (the supervisor saw to that); the device may be
                // half-written.
                return news.lost ? LostOutcome(true) : outcome.value_or(Outcome::Interrupted);
            }
            const DeviceEvent& event = news.event;
            if (event.kind == EventKind::Progress) {
                m_view.PostValueMessage(UWM_SET_PROGRESS, std::clamp(event.percent, 0, 100));
                if (event.remainingSeconds >= 0)
                    PostStatus3(DurationText(event.remainingSeconds));
            } else if (event.kind == EventKind::Result) {
                const std::optional<Outcome> code = OutcomeFromCode(event.outcome);
                outcome = code && OutcomeTable(*code).phase == OutcomePhase::Transfer ? *code : Outcome::Interrupted;
                elapsedSeconds = event.elapsedSeconds;
            }
        }
    }
}

void CUpdateWorkflow::TransferFirmware()
{
    m_view.ShowControl(Control::YesButton, false);
    m_view.ShowControl(Control::NoButton, false);
    m_view.ShowControl(Control::MainButton, false);
    m_view.ShowControl(Control::Progress, true);
    m_view.SetProgressPos(0);
    PostStatusLines(LINES_TRANSFER_STARTED);

    int elapsedSeconds = 0;
    const Outcome outcome = RunTransfer(elapsedSeconds);
    const OutcomeRow& row = OutcomeTable(outcome);

    OutcomeContext context;
    context.device = m_strDevice;
    if (outcome == Outcome::Done) {
        m_file.Close();
        context.elapsed = DurationText(elapsedSeconds);
    }
    PostOutcome(outcome, context);
    EnterStep(row.next);

    m_view.ShowControl(Control::Progress, false);
    PostButtonText(Text(row.caption));
}
