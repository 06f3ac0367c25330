#pragma once
// Drives the real main window, offscreen, the way a user would: clicks on
// the buttons, answers the file dialog with a chosen path, confirms message
// boxes and waits, with the event loop running, until a worker is done.
// Also the table of what each fault of the simulated device must lead to,
// shared by the fault tests and the soak.

#include "app/UpdateDlg.h"

#include "DeviceRecords.h"
#include "EventLoopWait.h"

#include <QObject>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class CDrivenDlg : public CUpdateDlg {
public:
    CDrivenDlg();
    ~CDrivenDlg() override;

    // The file dialog returns this path (or is cancelled).
    void NextFile(const std::string& path) { m_next = path; m_cancel = false; }
    void CancelNextFile() { m_cancel = true; }
    // Runs right after the header check, before the loader starts.
    std::function<void()> m_afterHeaderCheck;

    bool ChooseFile() override;
    bool CheckFileHeader() override;

    // Points the port listing at a port directory and an empty sysfs.
    void UsePorts(const std::string& portDirectory);

    // A click on the main button (or "Yes") with the click gate open; waits
    // until the worker it started is done. False when it did not end in time.
    bool Click(int timeoutMs = 30000);
    bool ClickYes(int timeoutMs = 30000);
    bool WaitIdle(int timeoutMs);
    // Steps 0 and 1 with this file; true when it loaded.
    bool Load(const std::string& path);

    QString Line(int n) const;  // status line 1..4
    QString Info(int n) const;  // information line 1..3
    QString Caption() const { return m_btnMain.text(); }
    QString PaneText(int id) const;

    // Message boxes seen so far (each confirmed at once), their captions.
    QStringList Messages() const { return m_messages; }
    QStringList MessageCaptions() const { return m_captions; }

private:
    void CatchMessageBoxes();

    std::string m_next;
    bool m_cancel = false;
    CTempDir m_emptySysfs;  // an empty sysfs, and no port directory in it
    QTimer m_boxTimer;
    QStringList m_messages;
    QStringList m_captions;
};


// ---------------------------------------------------------------------------
// What faults lead to.

// The end of a search or a transfer, as the first status line names it.
enum class Seen {
    Done,          // "Firmware update ended"
    Incomplete,    // "Firmware update is incomplete"
    FlashError,    // "Error writing to flash"
    Protocol,      // "Error in the write-read process"
    NoDevice,      // "No device found!"
    Incompatible,  // "Device found" / "Device not compatible"
    Found,         // the question, with the device's version
    FoundNoVersion,  // the question, with "No version available"
};
const char* SeenName(Seen outcome);

// The status lines an outcome shows, in English.
std::vector<std::string> SeenLines(Seen outcome);

// One update against a device with a fault, and what must come of it.
struct FaultRun {
    std::vector<std::string> deviceArgs;   // the fault options of cvf-devsim
    Seen search = Seen::Found;       // after "continue"
    Seen transfer = Seen::Done;      // after "Yes", when the search found the device
    std::vector<std::string> closing;      // what the device hears after the last line
    bool deviceGone = false;               // the fault ends the device
    bool imageWhole = true;                // a done update left the whole image
};

// Runs it through the window: load, search, answer Yes, compare; then a
// clean update on a fresh device of the same name with an image equal to
// the file. Adds failures to the report; true when everything held.
bool RunFaultCase(const FaultRun& run, const std::string& file, std::string& report);
