#include "RecordingView.h"

#include "FirmwareMaker.h"
#include "firmware/FirmwareFile.h"
#include "link/Frame.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

CRecordingView::CRecordingView()
{
    // Never the machine's ports: an empty port directory and an empty sysfs
    // until a test names its own.
    m_portDirectory = m_emptySysfs.File("no-ports");
    m_sysfsRoot = m_emptySysfs.Path();
    m_nSearchHoldMs = 0;
}

CRecordingView::~CRecordingView()
{
    FinishWorker();
}

void CRecordingView::UsePortDirectory(const std::string& directory)
{
    m_portDirectory = directory;
    m_sysfsRoot = m_emptySysfs.Path();
}

CRecordingView::Screen CRecordingView::Shown() const
{
    std::lock_guard lock(m_mutex);
    Screen screen = m_screen;
    screen.step = m_nStep.load();
    return screen;
}

std::vector<int> CRecordingView::Positions() const
{
    std::lock_guard lock(m_mutex);
    return m_positions;
}

std::vector<std::string> CRecordingView::LineHistory(int line) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_lines.find(line);
    return it == m_lines.end() ? std::vector<std::string>() : it->second;
}

std::vector<std::string> CRecordingView::Messages() const
{
    std::lock_guard lock(m_mutex);
    return m_messages;
}

std::vector<MessageIcon> CRecordingView::MessageIcons() const
{
    std::lock_guard lock(m_mutex);
    return m_icons;
}

void CRecordingView::ClearHistory()
{
    std::lock_guard lock(m_mutex);
    m_lines.clear();
    m_positions.clear();
}

bool CRecordingView::CloseRequested() const
{
    std::lock_guard lock(m_mutex);
    return m_closed;
}

bool CRecordingView::WaitIdle(int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (IsWorkerRunning()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    FinishWorker();
    // What the window does when the worker's end reaches it.
    OnWorkerEnded();
    return true;
}

bool CRecordingView::Click(int timeoutMs)
{
    m_bClickReady = 1;
    OnMainButton();
    return WaitIdle(timeoutMs);
}

bool CRecordingView::ClickYes(int timeoutMs)
{
    m_bClickReady = 1;
    OnYes();
    return WaitIdle(timeoutMs);
}

bool CRecordingView::Load(const std::string& path)
{
    if (m_nStep.load() == StepWelcome)
        Click();
    ClearHistory();
    NextFile(path);
    Click();
    return m_nStep.load() == StepFindDevice && m_file.IsOpen();
}

void CRecordingView::PostTextMessage(int message, std::string text)
{
    std::lock_guard lock(m_mutex);
    switch (message) {
    case UWM_PANE_FILE:
        m_screen.paneFile = text;
        break;
    case UWM_PANE_DEVICE:
        m_screen.paneDevice = text;
        break;
    case UWM_PANE_PORT:
        m_screen.panePort = text;
        break;
    case UWM_SHOW_BUTTON:
        m_screen.mainVisible = true;
        m_screen.caption = text;
        break;
    case UWM_STATUS1:
    case UWM_STATUS2:
    case UWM_STATUS3:
    case UWM_STATUS4: {
        const int line = message - UWM_STATUS1 + 1;
        m_lines[line].push_back(text);
        m_screen.status[line] = text;
        break;
    }
    case UWM_INFO1:
    case UWM_INFO2:
    case UWM_INFO3:
        m_screen.info[message - UWM_INFO1 + 1] = text;
        break;
    default:
        break;
    }
}

void CRecordingView::PostValueMessage(int message, int value)
{
    std::lock_guard lock(m_mutex);
    if (message == UWM_SET_PROGRESS) {
        m_screen.progress = value;
        m_positions.push_back(value);
    }
}

void CRecordingView::ShowControl(Control control, bool show)
{
    std::lock_guard lock(m_mutex);
    switch (control) {
    case Control::MainButton:
        m_screen.mainVisible = show;
        break;
    case Control::YesButton:
        m_screen.yesVisible = show;
        break;
    case Control::NoButton:
        m_screen.noVisible = show;
        break;
    case Control::Progress:
        m_screen.progressVisible = show;
        break;
    }
}

void CRecordingView::SetMainButtonText(const std::string& text)
{
    std::lock_guard lock(m_mutex);
    m_screen.caption = text;
}

void CRecordingView::SetProgressPos(int pos)
{
    std::lock_guard lock(m_mutex);
    m_screen.progress = pos;
    m_positions.push_back(pos);
}

void CRecordingView::SetProgressStep(int step)
{
    std::lock_guard lock(m_mutex);
    m_step = step;
}

void CRecordingView::StepProgress()
{
    std::lock_guard lock(m_mutex);
    m_screen.progress += m_step;
    m_positions.push_back(m_screen.progress);
}

void CRecordingView::SetStatusLine(int line, const std::string& text)
{
    std::lock_guard lock(m_mutex);
    m_lines[line].push_back(text);
    m_screen.status[line] = text;
}

void CRecordingView::SetStatusLineColor(int line, uint32_t rgb)
{
    std::lock_guard lock(m_mutex);
    if (line == 4)
        m_screen.line4Color = rgb;
}

void CRecordingView::ShowMessage(const std::string& text, MessageIcon icon)
{
    std::lock_guard lock(m_mutex);
    m_messages.push_back(text);
    m_icons.push_back(icon);
}

bool CRecordingView::ChooseFile()
{
    if (m_cancel)
        return false;
    m_strFilePath = m_nextFile;
    return true;
}

void CRecordingView::CloseWindow()
{
    if (OnClose()) {
        std::lock_guard lock(m_mutex);
        m_closed = true;
    }
}
