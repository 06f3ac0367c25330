#include "app/workflow/UpdateWorkflow.h"

#include "app/workflow/StringTable.h"
#include "app/workflow/TransferClock.h"
#include "firmware/FirmwareLoader.h"
#include "link/Frame.h"
#include "link/PortList.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

namespace {

constexpr int kKeepLine = 333;  // SetStatusLines: leave this line as it is

// "%s  %s": the second text first, two blanks, then the first.
std::string VersionLine(const std::string& version1, const std::string& version2)
{
    return FormatText("%s  %s", {version2, version1});
}

}  // namespace

CUpdateWorkflow::CUpdateWorkflow()
{
    m_portDirectory = PortDirectory();
    m_fileIndex = [this] { return m_file.GetIndex(); };
}

CUpdateWorkflow::~CUpdateWorkflow()
{
    // The subclass waited for the worker; a thread object left here would
    // end the program.
    if (m_worker.joinable())
        m_worker.join();
}

void CUpdateWorkflow::WaitWhileBusy()
{
    while (m_bBusy.load() != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void CUpdateWorkflow::FinishWorker()
{
    if (!m_worker.joinable())
        return;
    // The worker's last action clears m_bBusy; after that it touches
    // nothing of ours, so the join only waits for the thread to return.
    WaitWhileBusy();
    m_worker.join();
}

void CUpdateWorkflow::StartWorker(void (*threadProc)(CUpdateWorkflow*))
{
    if (m_worker.joinable())
        m_worker.join();  // the previous worker has cleared m_bBusy: it is over
    m_worker = std::thread(threadProc, this);
}

// ---------------------------------------------------------------------------
// Status block and buttons

void CUpdateWorkflow::SetStatusLines(int id1, int id2, int id3, int id4)
{
    const int ids[] = {id1, id2, id3, id4};
    for (int line = 1; line <= 4; ++line) {
        const int id = ids[line - 1];
        if (id == kKeepLine)
            continue;
        SetStatusLine(line, id == 0 ? std::string() : Text(id));
    }
}

void CUpdateWorkflow::PostStatusLines(int id1, int id2, int id3, int id4)
{
    const int ids[] = {id1, id2, id3, id4};
    for (int line = 0; line < 4; ++line)
        PostTextMessage(UWM_STATUS1 + line, ids[line] == 0 ? std::string() : Text(ids[line]));
}

void CUpdateWorkflow::ShowInstructions()
{
    SetStatusLineColor(4, INSTRUCTION_COLOR);
    SetStatusLines(108, 110, 109, 111);
    SetMainButtonText(Text(112));
}

void CUpdateWorkflow::OnMainButton()
{
    if (m_bClickReady == 0 || m_bBusy.load() != 0)
        return;

    // Clicks within a second of this one are ignored; this one counts even
    // when no timer could be had.
    m_nClickTimer = StartClickTimer();
    if (m_nClickTimer != 0)
        m_bClickReady = 0;

    switch (m_nStep.load()) {
    case StepWelcome:
        ShowInstructions();
        m_nStep = StepLoadFile;
        break;
    case StepLoadFile:
        if (!ChooseFile())
            break;
        if (CheckFileHeader()) {
            m_nStep = StepFindDevice;
            m_bBusy = 1;
            StartWorker(&CUpdateWorkflow::LoadThreadProc);
        } else {
            ShowMessage(FormatText(106, m_strFilePath), MessageIcon::Information);
        }
        break;
    case StepFindDevice:
        if (FindComPorts()) {
            m_bBusy = 1;
            m_nStep = StepTransfer;
            StartWorker(&CUpdateWorkflow::SearchThreadProc);
        }
        break;
    case StepTransfer:
        m_bBusy = 1;
        m_nStep = StepFinished;
        StartWorker(&CUpdateWorkflow::TransferThreadProc);
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
    m_nStep += 1;
    ShowControl(Control::YesButton, false);
    ShowControl(Control::NoButton, false);
    SetStatusLine(4, Text(369));
    ShowControl(Control::MainButton, true);
    SetMainButtonText(Text(344));
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
        ShowMessage(Text(336), MessageIcon::Information);
        return false;
    }
    if (m_file.IsOpen())
        m_file.Close();
    if (m_nStep.load() == StepTransfer)
        SendRestart();
    return true;
}

// ---------------------------------------------------------------------------
// Loading

bool CUpdateWorkflow::CheckFileHeader()
{
    if (!m_file.IsOpen() && !m_file.Open(m_strFilePath.c_str())) {
        // The button handler shows the same text once more for a failed
        // check; one box is enough when the file cannot even be opened.
        return false;
    }
    const bool good = m_file.FindText("[PSDINDEX]") >= 0 && m_file.FindText("[DATA]") >= 0;
    m_file.Close();
    return good;
}

void CUpdateWorkflow::LoadFile()
{
    PostStatusLines(113, 334, 0, 0);

    std::string buttonText;
    std::string filePane;
    std::string devicePane;
    bool good = false;

    if (!m_file.IsOpen() && !m_file.Open(m_strFilePath.c_str())) {
        ShowMessage(FormatText(107, m_strFilePath), MessageIcon::Exclamation);
    } else {
        ShowControl(Control::MainButton, false);
        ShowControl(Control::Progress, true);
        SetProgressPos(0);
        const LoadResult result = LoadFirmwareData(m_file, [this](int percent) { SetProgressPos(percent); });
        if (result.Good()) {
            good = true;
            buttonText = Text(105);
            PostStatusLines(0, 0, 0, 114);
            m_strDevice = m_file.GetDevice();
            DecodeVersionRecord(result.versionText);
            PostInfo1(FormatText(361, m_strDevice));
            PostInfo2(Text(362));
            PostInfo3(VersionLine(m_strFileVersion1, m_strFileVersion2));
            filePane = m_strFilePath;
            devicePane = m_strDevice;
        }
    }

    if (!good) {
        m_nStep -= 1;
        buttonText = Text(112);
        if (m_file.IsOpen())
            m_file.Close();
        PostStatusLines(370, 371, 372, 373);
    }

    PostFilePane(filePane);
    PostDevicePane(devicePane);
    ShowControl(Control::Progress, false);
    ShowControl(Control::MainButton, true);
    SetMainButtonText(buttonText);
    m_bBusy = 0;
}

void CUpdateWorkflow::DecodeVersionRecord(const std::string& text)
{
    ::DecodeVersionRecord(text, m_strFileVersion1, m_strFileVersion2);
}

// ---------------------------------------------------------------------------
// Device search

bool CUpdateWorkflow::FindComPorts()
{
    m_nPortCount = 0;
    m_strDeniedPort.clear();
    BeginWaitCursor();
    const std::vector<PortInfo> ports = ListSerialPorts(m_portDirectory, m_sysfsRoot);
    const size_t count = std::min<size_t>(ports.size(), SEARCH_PORT_LIMIT);
    for (size_t i = 0; i < count; ++i) {
        int error = 0;
        if (CSerialPort::ProbePort(ports[i].path, &error) == 0) {
            m_strPorts[m_nPortCount] = ports[i].name;
            m_strPortPaths[m_nPortCount] = ports[i].path;
            ++m_nPortCount;
        } else if ((error == EACCES || error == EPERM) && m_strDeniedPort.empty()) {
            m_strDeniedPort = ports[i].name;
        }
    }
    EndWaitCursor();

    if (m_nPortCount > 0)
        return true;
    SetStatusLines(116, 117, 118, 0);
    // The usual reason on this system is a missing group membership, which
    // the lines above do not tell.
    if (!m_strDeniedPort.empty())
        SetStatusLine(4, FormatText(374, m_strDeniedPort));
    return false;
}

void CUpdateWorkflow::SearchDevice()
{
    const std::string request = MakeRequest(REQUEST_STATUS);
    const int portCount = std::max(1, m_nPortCount);

    ShowControl(Control::MainButton, false);
    ShowControl(Control::Progress, true);
    SetProgressPos(0);
    SetProgressStep(100 / (3 * portCount));

    PostStatus2(FormatText(115, m_nPortCount));
    PostStatus1(Text(335));
    PostStatus3("");
    PostStatus4("");

    bool answered = false;
    for (int i = 0; i < m_nPortCount && !answered; ++i) {
        m_strPort = m_strPorts[i];
        m_strPortPath = m_strPortPaths[i];
        PostStatus3(FormatText(337, m_strPort));
        PostPortPane(m_strPort);
        for (int attempt = 0; attempt < SEARCH_ATTEMPTS; ++attempt) {
            const uint8_t status = Transact(request, STATUS_TIMEOUT_MS);
            StepProgress();
            if (status == STATUS_COMPLETE || status == STATUS_PRESENT) {
                answered = true;
                break;
            }
        }
    }

    SearchResult result = NoDevice;
    bool haveVersion = false;
    if (answered) {
        SetProgressPos(95);
        result = Incompatible;
        if (CheckDeviceIndex())
            result = Compatible;
        haveVersion = ReadDeviceVersion();
    }

    // The full bar stays for a second.
    SetProgressPos(100);
    std::this_thread::sleep_for(std::chrono::milliseconds(m_nSearchHoldMs));

    switch (result) {
    case NoDevice:
        PostStatusLines(338, 339, 340, 341);
        m_nStep -= 1;
        ShowControl(Control::MainButton, true);
        SetMainButtonText(Text(105));
        break;
    case Incompatible:
        // The lines are set at once and then posted again; the posted ones
        // come last, so line 4 ends as the blank.
        SetStatusLines(349, 350, 351, 111);
        PostStatusLines(349, 350, 351, 352);
        m_nStep = StepLoadFile;
        m_file.Close();
        ShowControl(Control::MainButton, true);
        SetMainButtonText(Text(112));
        break;
    case Compatible:
        PostStatus2(Text(364));
        PostStatus4(Text(366));
        PostStatus1(FormatText(342, m_strDevice));
        PostStatus3(haveVersion ? VersionLine(m_strDeviceVersion1, m_strDeviceVersion2) : Text(365));
        ShowControl(Control::NoButton, true);
        ShowControl(Control::YesButton, true);
        break;
    }

    ShowControl(Control::Progress, false);
    m_bBusy = 0;
}

// ---------------------------------------------------------------------------
// Transfer

void CUpdateWorkflow::TransferFirmware()
{
    CTransferClock clock;
    ShowControl(Control::YesButton, false);
    ShowControl(Control::NoButton, false);
    ShowControl(Control::MainButton, false);
    ShowControl(Control::Progress, true);
    SetProgressPos(0);

    const auto total = static_cast<uint32_t>(m_file.GetTotalBytes());

    PostStatusLines(122, 123, 0, 124);

    clock.Start();

    TransferResult result = Interrupted;
    std::string line;
    m_file.SeekToData();
    bool haveLine = m_file.ReadLine(line);
    CFrame frame(line);
    int errorCount = 0;
    int rejectCount = 0;
    bool blockStart = true;
    uint32_t sent = 0;
    int lastPercent = 0;

    if (OpenDevicePort() && haveLine) {
        for (;;) {
            if (!IsPortOpen() && !OpenDevicePort()) {
                result = Interrupted;
                break;
            }
            PauseBeforeLine();
            const uint8_t status = TransactOnOpenPort(line, LINE_TIMEOUT_MS);

            bool next = false;  // go on with the next line
            bool leave = false;
            switch (status) {
            case TRANSACT_FAILED:
                if (++errorCount >= LINE_ATTEMPTS) {
                    result = ProtocolError;
                    leave = true;
                }
                break;
            case TRANSACT_TIMEOUT:
                result = Interrupted;
                leave = true;
                break;
            case TRANSACT_BAD_CHECKSUM:
                result = ProtocolError;
                leave = true;
                break;
            case STATUS_REJECTED:
                if (++rejectCount >= LINE_ATTEMPTS) {
                    result = ProtocolError;
                    leave = true;
                }
                break;
            case STATUS_FLASH_ERROR:
                result = FlashError;
                leave = true;
                break;
            case STATUS_BLOCK_DONE:
                // The device closes a block with this; the port is opened
                // anew for the next line.
                if (IsPortOpen())
                    CloseDevicePort();
                errorCount = rejectCount = 0;
                if (frame.IsBlockMarker())
                    blockStart = true;
                result = Done;
                next = true;
                break;
            case STATUS_ACCEPTED: {
                errorCount = rejectCount = 0;
                sent += static_cast<uint32_t>(frame.GetDataLength(blockStart));
                // In 64 bits: sent x 100 leaves 32 bits past 42.9 MB. A file
                // without data bytes counts as done with its first line.
                const int percent =
                    total == 0 ? 100 : static_cast<int>(uint64_t{sent} * 100 / total);
                PostValueMessage(UWM_SET_PROGRESS, percent);
                if (total != 0 && percent > 9 && percent != lastPercent) {
                    lastPercent = percent;
                    PostStatus3(clock.FormatRemaining(percent));
                }
                blockStart = false;
                next = true;
                break;
            }
            case STATUS_COMPLETE:
                result = Done;
                leave = true;
                break;
            default:
                result = ProtocolError;
                leave = true;
                break;
            }
            if (leave)
                break;
            if (next) {
                if (!m_file.ReadLine(line)) {
                    // Lines that could not be read were never sent: the
                    // update is not complete, whatever the device said.
                    if (m_file.ReadError() != 0)
                        result = Interrupted;
                    break;
                }
                frame.SetText(line);
            }
        }
    }

    if (IsPortOpen())
        CloseDevicePort();
    switch (result) {
    case Done:
        Transact(MakeRequest(REQUEST_RESTART), CLOSING_TIMEOUT_MS);
        break;
    case FlashError:
    case ProtocolError:
        Transact(MakeRequest(REQUEST_ABORT), CLOSING_TIMEOUT_MS);
        Transact(MakeRequest(REQUEST_RESTART), CLOSING_TIMEOUT_MS);
        break;
    case Interrupted:
        break;
    }
    if (IsPortOpen())
        CloseDevicePort();

    std::string caption;
    switch (result) {
    case Done:
        caption = Text(344);
        m_file.Close();
        PostStatus1(Text(125));
        PostStatus2(FormatText(126, m_strDevice));
        PostStatus4("");
        PostStatus3(FormatText(127, clock.FormatElapsed()));
        break;
    case Interrupted:
        PostStatusLines(345, 346, 347, 348);
        break;
    case FlashError:
        PostStatusLines(357, 358, 359, 360);
        break;
    case ProtocolError:
        PostStatusLines(353, 354, 355, 356);
        break;
    }
    if (result != Done) {
        caption = Text(105);
        m_nStep -= 2;
    }

    ShowControl(Control::Progress, false);
    PostButtonText(caption);
    m_bBusy = 0;
}
