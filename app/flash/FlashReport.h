#pragma once
// What cvf-flash tells as it goes: text for people (on a terminal one
// progress line per device, redrawn in place; plain lines without escape
// codes otherwise) or JSON Lines for programs. Questions go to standard
// error in both. Everything goes through one writer (FlashOutput.h).

#include "app/workflow/Operations.h"
#include "app/workflow/Outcome.h"
#include "app/workflow/PortChoice.h"
#include "link/UsbInfo.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What a search found on a port.
struct FoundDevice {
    std::string port;
    bool compatible = false;
    bool haveVersion = false;
    std::string version1;
    std::string version2;
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
    virtual void Result(const std::string& port, Outcome outcome, double seconds, const OutcomeContext& context) = 0;
    virtual void Error(int code, const std::string& message) = 0;

    // The question, on standard error, and its end: nothing is redrawn
    // while it waits for the answer.
    virtual void Ask(const std::string& question) = 0;
    virtual void Answered() = 0;
};

class CFlashOutput;
// The report writes through output (FlashOutput.h), which must outlive it.
std::unique_ptr<CFlashReport> MakeFlashReport(bool json, bool quiet, CFlashOutput& output);

// Text from outside (file, device, sysfs) as it may go to a terminal:
// control characters, C1 controls and malformed UTF-8 become '?'.
std::string Printable(std::string_view text);

// The lines that tell how a device ended, in the current language.
std::vector<std::string> ResultLines(Outcome outcome, const OutcomeContext& context);
