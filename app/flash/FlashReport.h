#pragma once
// What cvf-flash tells as it goes: text for people (on a terminal one
// progress row per device, redrawn in place; plain lines without escape
// codes otherwise) or JSON Lines for programs. Questions go to standard
// error in both. Everything goes through one writer (FlashOutput.h).
//
// Every JSON event carries "event", "time" (UTC, ISO 8601 with
// milliseconds) and "run" (one id per run of cvf-flash).

#include "app/workflow/Operations.h"
#include "app/workflow/Outcome.h"
#include "app/workflow/PortChoice.h"
#include "link/UsbInfo.h"

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class CFlashOutput;

// What a search found on a port.
struct FoundDevice {
    std::string port;
    bool compatible = false;
    bool haveVersion = false;
    std::string version1;
    std::string version2;
};

// How one device ended: what its result event and record tell.
struct DeviceResult {
    std::string port;  // empty: a search over several ports that found nothing
    std::string path;  // the device node
    std::optional<UsbInfo> usb;
    Outcome outcome = Outcome::Interrupted;
    double seconds = 0;
    std::chrono::system_clock::time_point started;
    std::chrono::system_clock::time_point ended;
    std::optional<std::string> fromVersion;  // the device's version before the update, as shown
    std::string toVersion;                   // the file's
    std::string fileSha256;
    int attempts = 0;                        // transfers started
    std::optional<std::string> deviceIndex;  // the index an incompatible device gave
    OutcomeContext context;                  // what the outcome's lines are filled with
};

// How the run ended, for its closing line or event.
struct RunSummary {
    std::map<std::string, int> counts;  // every outcome name, zeros included
    int exitStatus = 0;
    double seconds = 0;
    int updated = 0;
    int failed = 0;
};

// Every call names the device it is about by its port; an empty port is a
// search over several ports that found nothing.
class CFlashReport {
public:
    virtual ~CFlashReport() = default;

    // The firmware file was checked and is good.
    virtual void FileLoaded(const std::string& path, const CLoadedFirmware& firmware) = 0;
    // --list: one port, then the end of the list.
    virtual void ListedPort(const PortInfo& port, PortState state, const std::optional<UsbInfo>& usb) = 0;
    virtual void ListEnd() = 0;
    // A line for people only (JSON leaves it out).
    virtual void Note(const std::string& text) = 0;

    // The search tries this port; oneOfSeveral: one search tries several
    // ports in turn (otherwise each port has a search of its own).
    virtual void Searching(const std::string& port, bool oneOfSeveral) = 0;
    virtual void Found(const FoundDevice& device, const std::string& deviceName) = 0;
    virtual void TransferStarted(const std::string& port, const std::string& deviceName) = 0;
    // remainingSeconds and remainingText from 10 % on.
    virtual void Progress(const std::string& port, int percent, std::optional<int> remainingSeconds,
                          const std::string& remainingText) = 0;
    // time: the moment of the result, as its event and record say it.
    virtual void Result(const DeviceResult& result, const std::string& time) = 0;
    // An error; port names the device it is about, if any.
    virtual void Error(int code, const std::string& message, const std::string& port = {}) = 0;
    // The closing line or event.
    virtual void Summary(const RunSummary& summary) = 0;

    // The question, on standard error, and its end (echoed: the answer was
    // typed on the terminal, which showed it).
    virtual void Ask(const std::string& question) = 0;
    virtual void Answered(const std::string& answer, bool echoed) = 0;
    // The terminal's size changed (SIGWINCH).
    virtual void TerminalResized() {}
};

// The report writes through output (FlashOutput.h), which must outlive it.
std::unique_ptr<CFlashReport> MakeFlashReport(bool json, bool quiet, CFlashOutput& output, std::string run = {});

// A new id for a run: 128 random bits as a UUID (version 4).
std::string NewRunId();
// The time as JSON events write it: UTC, ISO 8601 with milliseconds and Z.
std::string IsoTime(std::chrono::system_clock::time_point time);

// The result event as one line of JSON (without its line end), with the
// firmware file's absolute path when given: how --json prints it and
// --record appends it.
std::string ResultEventJson(const DeviceResult& result, const std::string& run, const std::string& time,
                            const std::string* file = nullptr);

// Text from outside (file, device, sysfs) as it may go to a terminal:
// control characters, C1 controls, format characters (bidirectional
// overrides and isolates, zero-width characters, the byte-order mark ...),
// the line and paragraph separators and each byte of malformed UTF-8
// become '?'.
std::string Printable(std::string_view text);

// The lines that tell how a device ended, in the current language.
std::vector<std::string> ResultLines(Outcome outcome, const OutcomeContext& context);
