#include "app/workflow/UpdateWorkflow.h"

#include "app/workflow/PortChoice.h"
#include "app/workflow/StringTable.h"
#include "link/PortList.h"

#include <algorithm>
#include <chrono>
#include <system_error>
#include <vector>

namespace {

// How each operation's reports reach the window while its worker runs.

class CLoadView : public COperationObserver {
public:
    explicit CLoadView(CUpdateWorkflow& window) : m_window(window) {}
    void OnFileOpened() override
    {
        m_window.ShowControl(Control::MainButton, false);
        m_window.ShowControl(Control::Progress, true);
        m_window.SetProgressPos(0);
    }
    void OnProgress(int percent) override { m_window.SetProgressPos(percent); }

private:
    CUpdateWorkflow& m_window;
};

class CSearchView : public COperationObserver {
public:
    explicit CSearchView(CUpdateWorkflow& window) : m_window(window) {}
    void OnPortTried(const PortInfo& port) override
    {
        m_window.PostStatus3(FormatText(IDS_CHECKING_PORT, port.name));
        m_window.PostPortPane(port.name);
    }
    void OnAttemptMade() override { m_window.StepProgress(); }
    void OnDeviceAnswered() override { m_window.SetProgressPos(95); }

private:
    CUpdateWorkflow& m_window;
};

class CTransferView : public COperationObserver {
public:
    explicit CTransferView(CUpdateWorkflow& window) : m_window(window) {}
    void OnProgress(int percent) override { m_window.PostValueMessage(UWM_SET_PROGRESS, percent); }
    void OnRemaining(int, int, const std::string& text) override { m_window.PostStatus3(text); }

private:
    CUpdateWorkflow& m_window;
};

}  // namespace

CUpdateWorkflow::CUpdateWorkflow()
{
    m_portDirectory = PortDirectory();
}

CUpdateWorkflow::~CUpdateWorkflow()
{
    // The subclass waited for the worker; a thread object left here would
    // end the program.
    if (m_worker.joinable())
        m_worker.join();
}

void CUpdateWorkflow::FinishWorker()
{
    // The worker's last actions clear m_bBusy and say so; after that it
    // touches nothing of ours, so the join only waits for it to return.
    if (m_worker.joinable())
        m_worker.join();
}

std::thread CUpdateWorkflow::LaunchWorker(void (*threadProc)(CUpdateWorkflow*))
{
    return std::thread(threadProc, this);
}

void CUpdateWorkflow::StartWorker(void (*threadProc)(CUpdateWorkflow*), int stepBefore)
{
    if (m_worker.joinable())
        m_worker.join();  // the previous worker has cleared m_bBusy: it is over
    m_stop.Reset();
    try {
        m_worker = LaunchWorker(threadProc);
    } catch (const std::system_error& error) {
        // No thread to be had (the system's limit of threads or memory):
        // nothing has begun, so the step is as it was.
        m_bBusy = 0;
        EnterStep(static_cast<WorkflowStep>(stepBefore));
        ShowMessage(FormatText(IDS_CANNOT_START, error.what()), MessageIcon::Exclamation);
    }
}

void CUpdateWorkflow::RunWorker(void (CUpdateWorkflow::*body)())
{
    (this->*body)();
    m_bBusy = 0;
    WorkerEnded();
}

void CUpdateWorkflow::OnWorkerEnded()
{
    // A new worker may have started since this one said it ended.
    if (m_bBusy.load() == 0 && m_worker.joinable())
        m_worker.join();
    if (m_bEnding && m_bBusy.load() == 0)
        CloseWindow();
}

void CUpdateWorkflow::OnEndRequest()
{
    m_bEnding = true;
    if (m_bBusy.load() != 0) {
        m_stop.Request();
        return;
    }
    CloseWindow();
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
        SetStatusLine(line, id == IDS_NONE ? std::string() : Text(id));
    }
}

void CUpdateWorkflow::PostStatusLines(const StatusLines& lines)
{
    for (int line = 0; line < 4; ++line)
        PostTextMessage(UWM_STATUS1 + line, lines[line] == IDS_NONE ? std::string() : Text(lines[line]));
}

void CUpdateWorkflow::PostOutcome(Outcome outcome, const OutcomeContext& context)
{
    const OutcomeRow& row = OutcomeTable(outcome);
    for (const int line : row.order) {
        const int id = row.lines[line - 1];
        if (id != KEEP_LINE)
            PostTextMessage(UWM_STATUS1 + line - 1, OutcomeLineText(id, context));
    }
}

void CUpdateWorkflow::ShowInstructions()
{
    SetStatusLineColor(4, INSTRUCTION_COLOR);
    SetStatusLines(LINES_INSTRUCTIONS);
    SetMainButtonText(Text(IDS_LOAD_FILE));
}

void CUpdateWorkflow::OnMainButton()
{
    if (m_bClickReady == 0 || m_bBusy.load() != 0 || m_bEnding)
        return;

    // Clicks within a second of this one are ignored; this one counts even
    // when no timer could be had.
    m_nClickTimer = StartClickTimer();
    if (m_nClickTimer != 0)
        m_bClickReady = 0;

    switch (Step()) {
    case StepWelcome:
        ShowInstructions();
        EnterStep(StepLoadFile);
        break;
    case StepLoadFile:
        if (!ChooseFile())
            break;
        if (CheckFileHeader()) {
            EnterStep(StepFindDevice);
            m_bBusy = 1;
            StartWorker(&CUpdateWorkflow::LoadThreadProc, StepLoadFile);
        } else {
            ShowMessage(FormatText(IDS_UNEXPECTED_FORMAT, m_strFilePath), MessageIcon::Information);
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
        CloseWindow();
        break;
    default:
        break;
    }
}

void CUpdateWorkflow::OnNo()
{
    EnterStep(StepFinished);
    ShowControl(Control::YesButton, false);
    ShowControl(Control::NoButton, false);
    SetStatusLine(4, Text(IDS_CLICK_TO_CLOSE));
    ShowControl(Control::MainButton, true);
    SetMainButtonText(Text(IDS_CLOSE));
    SendRestart();
}

void CUpdateWorkflow::OnTimer(unsigned id)
{
    if (id == m_nClickTimer) {
        m_bClickReady = 1;
        KillClickTimer(m_nClickTimer);
    }
}

bool CUpdateWorkflow::OnClose()
{
    if (m_bBusy.load() != 0) {
        // While the program winds down the window goes as soon as the
        // worker has ended; nothing to explain.
        if (!m_bEnding)
            ShowMessage(Text(IDS_CLOSE_REFUSED), MessageIcon::Information);
        return false;
    }
    if (m_file.IsOpen())
        m_file.Close();
    if (Step() == StepTransfer)
        SendRestart();
    return true;
}

// ---------------------------------------------------------------------------
// Loading

bool CUpdateWorkflow::CheckFileHeader()
{
    // The button handler shows the same text once more for a failed
    // check; one box is enough when the file cannot even be opened.
    return CheckFirmwareHeader(m_file, m_strFilePath);
}

void CUpdateWorkflow::LoadFile()
{
    PostStatusLines(LINES_LOADING);

    CLoadView view(*this);
    CLoadOperation operation(m_file, m_strFilePath);
    const LoadOutcome outcome = operation.Run(view, m_stop, m_firmware);
    const OutcomeRow& row = OutcomeTable(OutcomeOf(outcome));

    std::string filePane;
    std::string devicePane;
    if (outcome == LoadOutcome::CannotOpen)
        ShowMessage(FormatText(IDS_CANNOT_OPEN, m_strFilePath), MessageIcon::Exclamation);
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
    ShowControl(Control::Progress, false);
    ShowControl(Control::MainButton, true);
    SetMainButtonText(Text(row.caption));
}

// ---------------------------------------------------------------------------
// Device search

bool CUpdateWorkflow::FindComPorts()
{
    m_nPortCount = 0;
    BeginWaitCursor();
    const SearchPorts found = ChooseSearchPorts(ListSerialPorts(m_portDirectory, m_sysfsRoot), SEARCH_PORT_LIMIT);
    EndWaitCursor();
    m_strDeniedPort = found.deniedPort;
    for (const PortInfo& port : found.free) {
        m_strPorts[m_nPortCount] = port.name;
        m_strPortPaths[m_nPortCount] = port.path;
        ++m_nPortCount;
    }

    if (m_nPortCount > 0)
        return true;
    SetStatusLines(OutcomeTable(Outcome::NoPort).lines);
    // The usual reason on this system is a missing group membership, which
    // the lines above do not tell.
    if (!m_strDeniedPort.empty())
        SetStatusLine(4, FormatText(IDS_NO_PERMISSION, m_strDeniedPort));
    return false;
}

void CUpdateWorkflow::SearchDevice()
{
    const int portCount = std::max(1, m_nPortCount);
    ShowControl(Control::MainButton, false);
    ShowControl(Control::Progress, true);
    SetProgressPos(0);
    SetProgressStep(100 / (SEARCH_ATTEMPTS * portCount));

    PostStatus2(FormatText(IDS_PORTS_FOUND, m_nPortCount));
    PostStatus1(Text(IDS_SEARCHING));
    PostStatus3("");
    PostStatus4("");

    std::vector<PortInfo> ports;
    for (int i = 0; i < m_nPortCount; ++i)
        ports.push_back({m_strPorts[i], m_strPortPaths[i]});
    CSearchView view(*this);
    CSearchOperation operation(*this, std::move(ports), m_firmware.index);
    const SearchResult result = operation.Run(view, m_stop);
    const OutcomeRow& row = OutcomeTable(OutcomeOf(result));

    // The full bar stays for a second.
    if (result != SearchResult::Stopped) {
        SetProgressPos(100);
        m_stop.WaitFor(std::chrono::milliseconds(m_nSearchHoldMs));
    }

    OutcomeContext context;
    context.device = m_strDevice;
    context.haveVersion = operation.HaveVersion();
    context.version1 = m_strDeviceVersion1;
    context.version2 = m_strDeviceVersion2;
    if (result == SearchResult::Incompatible) {
        // The lines are set at once and then posted again; the posted ones
        // come last, so line 4 ends as the blank.
        SetStatusLines(LINES_INCOMPATIBLE_AT_ONCE);
    }
    PostOutcome(row.outcome, context);
    EnterStep(row.next);
    if (result == SearchResult::Incompatible) {
        m_file.Close();
        m_firmware.Clear();
    }
    if (result == SearchResult::Compatible) {
        ShowControl(Control::NoButton, true);
        ShowControl(Control::YesButton, true);
    } else {
        ShowControl(Control::MainButton, true);
        SetMainButtonText(Text(row.caption));
    }
    ShowControl(Control::Progress, false);
}

// ---------------------------------------------------------------------------
// Transfer

void CUpdateWorkflow::TransferFirmware()
{
    CTransferOperation operation(*this, m_firmware.lines, static_cast<uint32_t>(m_firmware.totalBytes));
    ShowControl(Control::YesButton, false);
    ShowControl(Control::NoButton, false);
    ShowControl(Control::MainButton, false);
    ShowControl(Control::Progress, true);
    SetProgressPos(0);
    PostStatusLines(LINES_TRANSFER_STARTED);

    CTransferView view(*this);
    const TransferResult result = operation.Run(view, m_stop);
    const OutcomeRow& row = OutcomeTable(OutcomeOf(result));

    OutcomeContext context;
    context.device = m_strDevice;
    if (result == TransferResult::Done) {
        m_file.Close();
        context.elapsed = operation.FormatElapsed();
    }
    PostOutcome(row.outcome, context);
    EnterStep(row.next);

    ShowControl(Control::Progress, false);
    PostButtonText(Text(row.caption));
}
