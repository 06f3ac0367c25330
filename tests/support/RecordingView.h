#pragma once
// The workflow with a window that only records: every posted message and
// every direct control call is applied at once, in the order it comes, to
// a plain model of what the window would show, and logged. The steps and
// the file seam are those of StepDriver.h; without Qt, so it is also run
// under the sanitizers.

#include "StepDriver.h"
#include "app/workflow/UpdateWorkflow.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The thread that makes the view is its window thread: calls a worker
// makes on it (RunOnWindowThread) wait until that thread runs the window
// (RunWindow, while a step waits), as on a real window.
class CRecordingView : public CSteps<CViewWithWorkflow> {
public:
    CRecordingView() { Workflow().m_nSearchHoldMs = 0; }
    ~CRecordingView() override;

    // What the window shows.
    struct Screen {
        std::string status[5];  // 1..4
        std::string info[4];    // 1..3
        std::string paneFile = "firmware file";
        std::string paneDevice = "device";
        std::string panePort = "COM";
        std::string caption = "start";
        bool mainVisible = true;
        bool yesVisible = false;
        bool noVisible = false;
        bool progressVisible = false;
        int progress = 0;
        int step = 1;
        uint32_t line4Color = 0;
    };
    Screen Shown() const;
    // Bar positions in the order set (direct and posted).
    std::vector<int> Positions() const;
    // Every text status line n received, in order (direct and posted).
    std::vector<std::string> LineHistory(int line) const;
    std::vector<std::string> Messages() const;
    std::vector<MessageIcon> MessageIcons() const;
    bool CloseRequested() const;
    // Forgets the line histories and bar positions recorded so far.
    void ClearHistory();

    // Load() of StepDriver.h, with the histories of the load alone.
    bool Load(const std::string& path, int timeoutMs = kWorkerWaitMs)
    {
        Start();
        ClearHistory();
        return CSteps::Load(path, timeoutMs);
    }

    void AnswerNo() override { Workflow().OnNo(); }
    bool Close() override;
    std::array<std::string, 4> ShownLines() const override;
    std::string ShownCaption() const override;

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
    unsigned StartClickTimer() override { return CLICK_TIMER_ID; }
    void KillClickTimer(unsigned) override {}
    void CloseWindow() override;
    void RunOnWindowThread(const std::function<void()>& work) override;
    // Runs the calls workers are waiting for, now (on the window thread).
    void RunPendingCalls();

protected:
    void PressMain() override { Workflow().OnMainButton(); }
    void PressYes() override { Workflow().OnYes(); }
    void RunWindow() override;
    void AfterWorkers() override;

private:
    struct PendingCall {
        std::function<void()> work;
        bool done = false;
    };
    const std::thread::id m_windowThread = std::this_thread::get_id();
    std::mutex m_callMutex;
    std::condition_variable m_callDone;
    std::deque<PendingCall*> m_calls;
    bool m_channelClosed = false;

    mutable std::mutex m_mutex;
    Screen m_screen;
    std::vector<int> m_positions;
    std::map<int, std::vector<std::string>> m_lines;
    std::vector<std::string> m_messages;
    std::vector<MessageIcon> m_icons;
    bool m_closed = false;
    int m_step = 10;
};
