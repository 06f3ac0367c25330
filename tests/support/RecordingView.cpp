#include "RecordingView.h"

#include <chrono>
#include <thread>

CRecordingView::~CRecordingView()
{
    // As a window that goes: no worker waits for it any more.
    {
        std::lock_guard lock(m_callMutex);
        m_channelClosed = true;
        for (PendingCall* call : m_calls)
            call->done = true;
        m_calls.clear();
    }
    m_callDone.notify_all();
    Workflow().RequestStop();
    Workflow().FinishWorker();
}

void CRecordingView::RunOnWindowThread(const std::function<void()>& work)
{
    if (std::this_thread::get_id() == m_windowThread) {
        work();
        return;
    }
    PendingCall call{work};
    std::unique_lock lock(m_callMutex);
    if (m_channelClosed)
        return;
    m_calls.push_back(&call);
    m_callDone.wait(lock, [&call] { return call.done; });
}

void CRecordingView::RunPendingCalls()
{
    std::unique_lock lock(m_callMutex);
    while (!m_calls.empty()) {
        PendingCall* call = m_calls.front();
        m_calls.pop_front();
        lock.unlock();
        call->work();
        lock.lock();
        call->done = true;
        m_callDone.notify_all();
    }
}

CRecordingView::Screen CRecordingView::Shown() const
{
    std::lock_guard lock(m_mutex);
    Screen screen = m_screen;
    screen.step = Workflow().Step();
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

std::array<std::string, 4> CRecordingView::ShownLines() const
{
    std::lock_guard lock(m_mutex);
    return {m_screen.status[1], m_screen.status[2], m_screen.status[3], m_screen.status[4]};
}

std::string CRecordingView::ShownCaption() const
{
    std::lock_guard lock(m_mutex);
    return m_screen.caption;
}

bool CRecordingView::Close()
{
    CloseWindow();
    return CloseRequested();
}

void CRecordingView::RunWindow()
{
    RunPendingCalls();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

void CRecordingView::AfterWorkers()
{
    // What the window does when a worker's end reaches it.
    RunPendingCalls();
    Workflow().OnWorkerEnded();
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

void CRecordingView::CloseWindow()
{
    if (Workflow().OnClose()) {
        std::lock_guard lock(m_mutex);
        m_closed = true;
    }
}
