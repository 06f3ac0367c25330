#pragma once
// The three operations of an update, apart from any window: loading a
// firmware file, searching the device on a list of ports, and transferring
// the firmware. Each is given its inputs (the file, the ports, the link),
// reports what happens to an observer as it goes, honours a stop request
// at its next step, and ends with a typed outcome (Outcome.h). The main
// window's steps and the command-line updater both run them.

#include "app/workflow/Outcome.h"
#include "app/workflow/StopRequest.h"
#include "app/workflow/TransferClock.h"
#include "firmware/FirmwareFile.h"
#include "firmware/FirmwareImage.h"
#include "firmware/FirmwareLoader.h"
#include "link/DeviceLink.h"
#include "link/PortList.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

inline constexpr int SEARCH_ATTEMPTS = 3;  // ASP attempts per port
inline constexpr int LINE_ATTEMPTS = 4;    // port errors or rejections of one line before giving up

// What an operation tells whoever runs it. Calls come on the operation's
// thread; every one has a default that does nothing.
class COperationObserver {
public:
    virtual ~COperationObserver() = default;
    // Loading: the file is open and its walk begins.
    virtual void OnFileOpened() {}
    // Loading: the share of the file checked, whenever it changes (0..100).
    virtual void OnProgress(int /*percent*/) {}
    // Search: this port is asked next; one attempt on it has been made; a
    // device answered (its index and version are asked next).
    virtual void OnPortTried(const PortInfo& /*port*/) {}
    virtual void OnAttemptMade() {}
    virtual void OnDeviceAnswered() {}
    // Transfer, after every accepted line: the share of the data bytes the
    // device took (0..100) and, from 10 % on and only when the percentage
    // changed, the estimated seconds still to go.
    virtual void OnTransferProgress(int /*percent*/, std::optional<int32_t> /*remainingSeconds*/) {}
};

// What a good load found in the file: the texts shown, the index the
// device must give, and the data lines exactly as they were checked,
// sealed in the block a device process is given (FirmwareImage.h).
struct CLoadedFirmware {
    std::string index;
    std::string device;
    std::string version1;
    std::string version2;
    CFirmwareImage image;
    int32_t totalBytes = 0;
    std::string fileSha256;  // of the file's bytes as they were checked

    void Clear() { *this = CLoadedFirmware(); }
};

// The quick look before a load: the file opens (unless it is open
// already) and holds both section lines, "[PSDINDEX]" and "[DATA]". The
// file is closed afterwards. When it does not open, error (if given) has
// the reason; otherwise its m_osError is 0.
bool CheckFirmwareHeader(CFirmwareFile& file, const std::string& path, CFileError* error = nullptr);

// Opens path in file (unless it is open already), checks it line by line
// and keeps what it checked. A file that does not open, or is faulty, is
// closed again; a good one stays open. A good file whose lines cannot be
// sealed (no memory file to be had) ends as CannotOpen.
class CLoadOperation {
public:
    CLoadOperation(CFirmwareFile& file, std::string path) : m_file(file), m_path(std::move(path)) {}
    LoadOutcome Run(COperationObserver& observer, const CStopRequest& stop, CLoadedFirmware& loaded);
    // The walk's own result, for a closer look at a faulty file.
    const LoadResult& WalkResult() const { return m_walk; }

private:
    CFirmwareFile& m_file;
    std::string m_path;
    LoadResult m_walk;
};

// Asks each port in turn whether a device in update mode answers (three
// "ASP|" attempts of 1000 ms); on the first that answers, compares the
// device's index with the file's and reads its version. The link names the
// port it tried last, the device's port after a find.
class CSearchOperation {
public:
    CSearchOperation(CDeviceLink& link, std::vector<PortInfo> ports, std::string fileIndex)
        : m_link(link), m_ports(std::move(ports)), m_fileIndex(std::move(fileIndex)) {}
    SearchResult Run(COperationObserver& observer, const CStopRequest& stop);
    // A version was read (in the link's m_strDeviceVersion1 and 2).
    bool HaveVersion() const { return m_haveVersion; }

private:
    CDeviceLink& m_link;
    std::vector<PortInfo> m_ports;
    std::string m_fileIndex;
    bool m_haveVersion = false;
};

// What to do after the reply to a firmware line, from its status byte and
// the line's two counters of failed attempts.
enum class LineAction {
    SendAgain,  // the same line once more
    Next,       // the line was taken: the next one
    NextBlock,  // the line was taken and its block ended: the port is opened anew for the next one
    End,        // the transfer is over
};
struct LineCounters {
    int errors = 0;   // port errors since the last accepted line
    int rejects = 0;  // "0" replies since the last accepted line
};
struct LineVerdict {
    LineAction action;
    TransferResult result;  // the outcome so far
    LineCounters counters;  // the counters for the next reply
};
// The decision alone, without any I/O: status is what TransactOnOpenPort
// returned, counters those of the line so far, result the outcome so far
// (Interrupted until a block ends).
LineVerdict JudgeLineReply(uint8_t status, LineCounters counters, TransferResult result);

// Sends the checked lines one by one on the link's port, acts on every
// reply, and at the end sends the closing commands of its outcome.
class CTransferOperation {
public:
    CTransferOperation(CDeviceLink& link, const CLineSequence& lines, uint32_t totalBytes)
        : m_link(link), m_lines(lines), m_total(totalBytes) {}
    TransferResult Run(COperationObserver& observer, const CStopRequest& stop);
    // The wall-clock time since the transfer began, in whole seconds.
    int32_t ElapsedSeconds() const { return m_clock.ElapsedSeconds(); }
    // Data bytes the device took.
    uint32_t Sent() const { return m_sent; }

private:
    CDeviceLink& m_link;
    const CLineSequence& m_lines;
    uint32_t m_total;
    uint32_t m_sent = 0;
    CTransferClock m_clock;
};

// Sends the device what follows an outcome (its row's closing requests,
// each with its own open and close of the port); replies are not examined.
void SendClosing(CDeviceLink& link, Outcome outcome);

// Percent of total that sent is, never above 100; 100 for a total of 0.
int TransferPercent(uint32_t sent, uint32_t total);
