#pragma once
// The steps of an update as a test takes them, with the same names and
// meanings for the real dialog (CTestDialog, DialogTestSupport.h) and for
// the window that only records (CRecordingView, RecordingView.h):
// - the file choice is answered through one seam: NextFile() or
//   CancelNextFile() before the click that asks for a file;
// - every click of a step opens the click gate first, as its timer does a
//   second after the last accepted click;
// - WaitIdle() waits, bounded, until the worker a click started has ended
//   and the window has handled its end.
// Window is a view (CWorkflowView) that holds its workflow and gives it
// with Workflow(): the real dialog, or CViewWithWorkflow below. Every
// workflow the driver makes uses the device program of this build and no
// port of the machine.


#include "DeviceRecords.h"
#include "ExpectedTexts.h"
#include "app/workflow/UpdateWorkflow.h"

#include <array>
#include <chrono>
#include <functional>
#include <string>

// How long a step waits for its worker by default.
inline constexpr int kWorkerWaitMs = 60000;

// A view with its workflow, as a window holds one.
class CViewWithWorkflow : public CWorkflowView {
public:
    CUpdateWorkflow& Workflow() { return m_workflow; }
    const CUpdateWorkflow& Workflow() const { return m_workflow; }

private:
    CUpdateWorkflow m_workflow{*this};
};

template <class Window>
class CSteps : public Window {
public:
    CSteps()
    {
        CUpdateWorkflow& workflow = this->Workflow();
        // Never the machine's ports: no port folder and an empty sysfs
        // until the test names a port folder.
        workflow.m_portDirectory = m_sandbox.File("no-ports");
        workflow.m_sysfsRoot = m_sandbox.Path();
        workflow.m_strDeviceProgram = CVF_DEVICE;
        workflow.m_afterHeaderCheck = [this] {
            if (m_afterHeaderCheck)
                m_afterHeaderCheck();
        };
    }

    // ---- The file choice: the path the next one gives, or cancelled
    // (which is also what happens when no file was named).
    void NextFile(const std::string& path)
    {
        m_nextFile = path;
        m_cancel = false;
    }
    void CancelNextFile() { m_cancel = true; }
    // How often the window asked for a file.
    int FileChoices() const { return m_fileChoices; }
    // Runs right after the header check, before the loader starts: a test
    // changes the file in between.
    std::function<void()> m_afterHeaderCheck;

    // The port listing looks in this folder (and an empty sysfs).
    void UsePortDirectory(const std::string& directory)
    {
        this->Workflow().m_portDirectory = directory;
        this->Workflow().m_sysfsRoot = m_sandbox.Path();
    }

    // ---- The steps.
    // Opens the click gate as its timer does when it fires.
    void OpenClickGate() { this->Workflow().OnTimer(this->Workflow().m_nClickTimer); }
    // As if a worker ran (for what the window refuses while one does) or
    // for a worker body run on the test's own thread.
    void PretendBusy(bool busy) { this->Workflow().SetBusy(busy); }
    WorkflowStep Step() const { return this->Workflow().Step(); }
    // A click on the main button with the gate open; waits for the worker
    // it started. False when that did not end in time.
    bool Click(int timeoutMs = kWorkerWaitMs)
    {
        OpenClickGate();
        PressMain();
        return WaitIdle(timeoutMs);
    }
    // "start" when the window is still in its welcome step; true when it
    // is in the load step.
    bool Start()
    {
        if (Step() == StepWelcome)
            Click();
        return Step() == StepLoadFile;
    }
    // "start" if need be, then "Load file" with this file; true when it
    // loaded.
    bool Load(const std::string& path, int timeoutMs = kWorkerWaitMs)
    {
        Start();
        NextFile(path);
        Click(timeoutMs);
        return Step() == StepFindDevice && this->Workflow().m_file.IsOpen();
    }
    // "continue": lists the ports and searches the device; true when the
    // search ended in time, whatever it found.
    bool Search(int timeoutMs = kWorkerWaitMs) { return Click(timeoutMs); }
    // "Yes": the transfer; true when it ended in time.
    bool AnswerYes(int timeoutMs = kWorkerWaitMs)
    {
        OpenClickGate();  // "Yes" shares the main button's gate
        PressYes();
        return WaitIdle(timeoutMs);
    }
    // "No": the device is restarted and "close" offered.
    virtual void AnswerNo() = 0;
    // Closes the window as its close button does; true when it closed.
    virtual bool Close() = 0;

    bool WaitIdle(int timeoutMs = kWorkerWaitMs)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (this->Workflow().IsWorkerRunning()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            RunWindow();
        }
        // m_bBusy is set before a worker starts and cleared just before it
        // says it ended: once joined, its end is with the window.
        this->Workflow().FinishWorker();
        AfterWorkers();
        return true;
    }

    // ---- What is shown.
    virtual std::array<std::string, 4> ShownLines() const = 0;
    virtual std::string ShownCaption() const = 0;
    // What differs from the screen an outcome must leave (ExpectedTexts.h);
    // empty when it is shown.
    std::string Mismatch(const ExpectedScreen& expected, const char* version = nullptr) const
    {
        return ::Mismatch(expected, ShownLines(), ShownCaption(), int(Step()), version);
    }
    std::string Mismatch(Outcome outcome, const char* version = nullptr) const
    {
        return Mismatch(Expected(outcome), version);
    }

protected:
    virtual void PressMain() = 0;
    virtual void PressYes() = 0;
    // Lets the window run for a moment while a step waits.
    virtual void RunWindow() = 0;
    // After a wait: the window handles what the worker left it, its end
    // among it.
    virtual void AfterWorkers() = 0;

    bool ChooseFile(std::string& path) override
    {
        ++m_fileChoices;
        if (m_cancel)
            return false;
        path = m_nextFile;
        return true;
    }

private:
    CTempDir m_sandbox;  // an empty sysfs, and no port folder in it
    std::string m_nextFile;
    bool m_cancel = true;
    int m_fileChoices = 0;
};
