#include "app/flash/FlashReport.h"

#include "app/flash/FlashEnd.h"
#include "app/flash/FlashOutput.h"
#include "app/flash/LiveScreen.h"

#include "app/workflow/StringIds.h"
#include "app/workflow/StringTable.h"
#include "link/PortList.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <utility>

#include <sys/random.h>
#include <unistd.h>

namespace {

using Json = nlohmann::ordered_json;

std::string TrimEnd(std::string text)
{
    while (!text.empty() && (text.back() == ' ' || text.back() == '\n'))
        text.pop_back();
    return text;
}

// Runs of line ends become one blank, for a message on one line.
std::string OneLine(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n') {
            if (!out.empty() && out.back() != ' ')
                out += ' ';
        } else {
            out += c;
        }
    }
    return TrimEnd(out);
}

int StateText(PortState state)
{
    switch (state) {
    case PortState::Free: return IDS_FLASH_STATE_FREE;
    case PortState::Busy: return IDS_FLASH_STATE_BUSY;
    case PortState::NoPermission: return IDS_FLASH_STATE_NO_PERMISSION;
    case PortState::Missing: return IDS_FLASH_STATE_MISSING;
    case PortState::Unusable: return IDS_FLASH_STATE_UNUSABLE;
    }
    return IDS_FLASH_STATE_UNUSABLE;
}

double Tenths(double seconds)
{
    return std::round(seconds * 10.0) / 10.0;
}

// The format characters (Unicode's general category Cf: bidirectional
// overrides and isolates, zero-width characters, the byte-order mark, tags
// ...) and the line and paragraph separators: each may make a text read as
// something else on a terminal.
bool IsInvisibleFormat(uint32_t code)
{
    static constexpr std::pair<uint32_t, uint32_t> kRanges[] = {
        {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},   {0x070F, 0x070F},
        {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},   {0x200B, 0x200F},   {0x2028, 0x202E},
        {0x2060, 0x206F},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD}, {0x110CD, 0x110CD},
        {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001}, {0xE0020, 0xE007F},
    };
    for (const auto& [first, last] : kRanges) {
        if (code >= first && code <= last)
            return true;
    }
    return false;
}

Json UsbObject(const std::optional<UsbInfo>& usb)
{
    if (!usb)
        return nullptr;
    return {{"vendor", usb->vendorId}, {"product", usb->productId}, {"serial", usb->serial}, {"name", usb->product}};
}

// An event as every JSON event begins.
Json Event(const char* kind, const std::string& run, const std::string& time)
{
    return {{"event", kind}, {"time", time}, {"run", run}};
}

// Text from files and devices need not be UTF-8: what is not comes out as
// U+FFFD rather than as an exception.
std::string Dump(const Json& event)
{
    return event.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// ---------------------------------------------------------------------------
// Text for people

class CTextReport : public CFlashReport {
public:
    CTextReport(bool quiet, CFlashOutput& output) : m_quiet(quiet), m_output(output)
    {
        const char* term = std::getenv("TERM");
        m_tty = isatty(STDOUT_FILENO) != 0 && !(term && std::strcmp(term, "dumb") == 0);
        m_output.UseTerminal(m_tty && !m_quiet);
        m_size = ReadTerminalSize(STDOUT_FILENO);
    }

    void FileLoaded(const std::string&, const CLoadedFirmware& firmware) override
    {
        Line(FormatText(IDS_FILE_LOADED, Printable(firmware.device)));
        Line(Text(IDS_SOFTWARE_VERSION) + " " + Printable(VersionLine(firmware.version1, firmware.version2)));
    }

    void ListedPort(const PortInfo& port, PortState state, const std::optional<UsbInfo>& usb) override
    {
        std::vector<std::string> row = {Printable(port.name), Printable(port.path), Text(StateText(state)), ""};
        if (usb) {
            std::string text = Printable(usb->vendorId) + ":" + Printable(usb->productId);
            if (!usb->serial.empty())
                text += " " + Printable(usb->serial);
            if (!usb->product.empty())
                text += " " + Printable(usb->product);
            row[3] = text;
        }
        m_list.push_back(std::move(row));
    }

    void ListEnd() override
    {
        if (m_list.empty()) {
            Line(Text(IDS_FLASH_NO_PORTS));
            return;
        }
        m_list.insert(m_list.begin(), {Text(IDS_FLASH_COL_PORT), Text(IDS_FLASH_COL_NODE), Text(IDS_FLASH_COL_STATE),
                                       Text(IDS_FLASH_COL_USB)});
        size_t widths[3] = {0, 0, 0};
        for (const auto& row : m_list) {
            for (size_t c = 0; c < 3; ++c)
                widths[c] = std::max(widths[c], Columns(row[c]));
        }
        for (const auto& row : m_list) {
            std::string text;
            for (size_t c = 0; c < 3; ++c)
                text += row[c] + std::string(widths[c] - Columns(row[c]) + 2, ' ');
            Line(TrimEnd(text + row[3]));
        }
        m_list.clear();
    }

    void Note(const std::string& text) override { Line(text); }

    void Searching(const std::string& port, bool oneOfSeveral) override
    {
        const std::string text = FormatText(IDS_CHECKING_PORT, Printable(port));
        if (m_tty)
            SetRow(oneOfSeveral ? m_searchRow : port, text);
        else
            Line(text);
    }

    void Found(const FoundDevice& device, const std::string& deviceName) override
    {
        RemoveRow(m_searchRow);
        RemoveRow(device.port);
        const std::string prefix = Prefix(device.port);
        if (device.compatible)
            Line(prefix + FormatText(IDS_COMPATIBLE_FOUND, Printable(deviceName)));
        const std::string version = device.haveVersion
                                        ? TrimEnd(Printable(VersionLine(device.version1, device.version2)))
                                        : Text(IDS_NO_VERSION);
        Line(prefix + Text(IDS_CURRENT_VERSION) + " " + version);
    }

    void TransferStarted(const std::string& port, const std::string& deviceName) override
    {
        m_device = Printable(deviceName);
        Line(Prefix(port) + Text(IDS_UPDATE_STARTED));
        m_lastTenth[port] = 0;
        if (m_tty)
            SetRow(port, ProgressRow(port, 0, ""));
    }

    void Progress(const std::string& port, int percent, std::optional<int> remainingSeconds,
                  const std::string& remainingText) override
    {
        const std::string remaining = TrimEnd(remainingText);
        if (m_tty) {
            m_remaining[port] = remainingSeconds ? *remainingSeconds : -1;
            SetRow(port, ProgressRow(port, percent, remaining));
            return;
        }
        // Plain lines: one every ten percent.
        int& last = m_lastTenth[port];
        if (percent / 10 <= last || m_quiet)
            return;
        last = percent / 10;
        std::string text = Prefix(port) + std::to_string(percent) + " % " + Text(IDS_TRANSFERRED);
        if (!remaining.empty())
            text += ", " + Text(IDS_REMAINING_TIME) + " " + remaining;
        m_output.ProgressLine(port, Printable(text));
    }

    void Result(const DeviceResult& result, const std::string&) override
    {
        const std::string& port = result.port;
        m_remaining.erase(port);
        const bool failed = OutcomeTable(result.outcome).exitStatus != 0;
        ++(failed ? m_failed : m_done);
        RemoveRow(port);
        RemoveRow(m_searchRow);
        for (const std::string& text : ResultLines(result.outcome, result.context)) {
            if (!m_quiet)
                Line(Prefix(port) + text);
            else if (failed)
                Line(Prefix(port) + text, CFlashOutput::Stream::Err);
        }
    }

    void Error(int, const std::string& message, const std::string& port) override
    {
        Line(Prefix(port) + TrimEnd(message), CFlashOutput::Stream::Err);
    }

    void Summary(const RunSummary& summary) override
    {
        if (summary.updated + summary.failed > 0)
            Line(FormatText(Text(IDS_FLASH_SUMMARY), {std::to_string(summary.updated), std::to_string(summary.failed)}));
    }

    void Ask(const std::string& question) override
    {
        m_asking = true;
        Draw();
        m_output.Ask(Printable(question));
    }

    void Answered(const std::string& answer, bool echoed) override
    {
        m_asking = false;
        m_output.Answered(Printable(answer), echoed);
        Draw();
    }

    void TerminalResized() override
    {
        m_size = ReadTerminalSize(STDOUT_FILENO);
        Draw();
    }

private:
    static std::string Prefix(const std::string& port) { return port.empty() ? std::string() : Printable(port) + ": "; }

    std::string ProgressRow(const std::string& port, int percent, const std::string& remaining) const
    {
        constexpr int kBar = 20;
        const int full = std::clamp(percent, 0, 100) * kBar / 100;
        char number[8];
        std::snprintf(number, sizeof number, "%3d %%", std::clamp(percent, 0, 100));
        std::string row = Printable(port) + "  [" + std::string(static_cast<size_t>(full), '#') +
                          std::string(static_cast<size_t>(kBar - full), '.') + "] " + number;
        if (!remaining.empty())
            row += "  " + Text(IDS_REMAINING_TIME) + " " + remaining;
        return row + "  " + m_device;
    }

    void Line(const std::string& text, CFlashOutput::Stream stream = CFlashOutput::Stream::Out)
    {
        if (m_quiet && stream == CFlashOutput::Stream::Out)
            return;
        // Whatever came from outside, no byte of it reaches the terminal
        // as a control.
        size_t start = 0;
        for (;;) {
            const size_t end = text.find('\n', start);
            m_output.Line(stream, Printable(std::string_view(text).substr(start, end - start)));
            if (end == std::string::npos)
                break;
            start = end + 1;
        }
    }

    void SetRow(const std::string& key, const std::string& text)
    {
        auto it = std::find_if(m_rows.begin(), m_rows.end(), [&](const auto& row) { return row.first == key; });
        if (it != m_rows.end()) {
            it->second = text;
        } else {
            // In the order of the port names, as the ports are listed.
            it = std::find_if(m_rows.begin(), m_rows.end(), [&](const auto& row) { return NaturalLess(key, row.first); });
            m_rows.emplace(it, key, text);
        }
        Draw();
    }

    void RemoveRow(const std::string& key)
    {
        auto it = std::find_if(m_rows.begin(), m_rows.end(), [&](const auto& row) { return row.first == key; });
        if (it == m_rows.end())
            return;
        m_rows.erase(it);
        Draw();
    }

    // Hands the live rows to the writer, fitted to the terminal: beyond
    // its height one line sums them up above the rows that fit.
    void Draw()
    {
        if (!m_tty || m_quiet)
            return;
        std::vector<std::string> rows;
        rows.reserve(m_rows.size());
        for (const auto& row : m_rows)
            rows.push_back(Printable(row.second));
        int slowest = -1;
        for (const auto& [port, seconds] : m_remaining)
            slowest = std::max(slowest, seconds);
        const std::string summary =
            FormatText(Text(IDS_FLASH_LIVE_SUMMARY), {std::to_string(m_rows.size()), std::to_string(m_done),
                                                std::to_string(m_failed),
                                                slowest > 0 ? TrimEnd(DurationText(slowest)) : std::string("-")});
        m_output.Live(FitRows(rows, summary, m_size, m_asking));
    }

    bool m_quiet;
    CFlashOutput& m_output;
    bool m_tty = false;
    bool m_asking = false;
    TerminalSize m_size;
    int m_done = 0;
    int m_failed = 0;
    std::map<std::string, int> m_remaining;  // seconds still to go, by port; -1 before 10 %
    std::vector<std::pair<std::string, std::string>> m_rows;
    std::vector<std::vector<std::string>> m_list;
    std::map<std::string, int> m_lastTenth;
    std::string m_device;
    const std::string m_searchRow = std::string(1, '\0');  // the row of a search over several ports
};

// ---------------------------------------------------------------------------
// JSON Lines for programs

class CJsonReport : public CFlashReport {
public:
    CJsonReport(bool quiet, CFlashOutput& output, std::string run)
        : m_quiet(quiet), m_output(output), m_run(std::move(run))
    {
    }

    void FileLoaded(const std::string& path, const CLoadedFirmware& firmware) override
    {
        Json event = New("file");
        event["path"] = path;
        event["device"] = firmware.device;
        event["index"] = firmware.index;
        event["version"] = VersionLine(firmware.version1, firmware.version2);
        event["bytes"] = firmware.totalBytes;
        event["sha256"] = firmware.fileSha256;
        Emit(event);
    }

    void ListedPort(const PortInfo& port, PortState state, const std::optional<UsbInfo>& usb) override
    {
        Json event = New("port");
        event["port"] = port.name;
        event["path"] = port.path;
        event["state"] = PortStateName(state);
        if (usb)
            event["usb"] = UsbObject(usb);
        Emit(event);
    }
    void ListEnd() override {}
    void Note(const std::string&) override {}
    void Searching(const std::string&, bool) override {}

    void Found(const FoundDevice& device, const std::string&) override
    {
        Json event = New("found");
        event["port"] = device.port;
        event["compatible"] = device.compatible;
        event["version"] = device.haveVersion ? Json(VersionLine(device.version1, device.version2)) : Json(nullptr);
        Emit(event);
    }

    void TransferStarted(const std::string&, const std::string&) override {}

    void Progress(const std::string& port, int percent, std::optional<int> remainingSeconds,
                  const std::string&) override
    {
        if (m_quiet)
            return;
        Json event = New("progress");
        event["port"] = port;
        event["percent"] = percent;
        if (remainingSeconds)
            event["remaining_s"] = *remainingSeconds;
        m_output.ProgressLine(port, Dump(event));
    }

    void Result(const DeviceResult& result, const std::string& time) override
    {
        m_output.Line(CFlashOutput::Stream::Out, ResultEventJson(result, m_run, time));
    }

    void Error(int code, const std::string& message, const std::string& port) override
    {
        Json event = New("error");
        if (!port.empty())
            event["port"] = port;
        event["code"] = code;
        event["message"] = OneLine(message);
        Emit(event);
    }

    void Summary(const RunSummary& summary) override
    {
        Json event = New("summary");
        event["counts"] = summary.counts;
        event["exit"] = summary.exitStatus;
        event["seconds"] = Tenths(summary.seconds);
        Emit(event);
    }

    void Ask(const std::string& question) override { m_output.Ask(Printable(question)); }
    void Answered(const std::string& answer, bool echoed) override { m_output.Answered(Printable(answer), echoed); }

private:
    Json New(const char* kind) const { return Event(kind, m_run, IsoTime(std::chrono::system_clock::now())); }
    void Emit(const Json& event) { m_output.Line(CFlashOutput::Stream::Out, Dump(event)); }

    bool m_quiet;
    CFlashOutput& m_output;
    std::string m_run;
};

}  // namespace

std::unique_ptr<CFlashReport> MakeFlashReport(bool json, bool quiet, CFlashOutput& output, std::string run)
{
    if (json)
        return std::make_unique<CJsonReport>(quiet, output, run.empty() ? NewRunId() : std::move(run));
    return std::make_unique<CTextReport>(quiet, output);
}

std::string NewRunId()
{
    uint8_t bytes[16] = {};
    size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    if (got < sizeof bytes) {
        // No randomness to be had: time and pid are unique enough per machine.
        const auto now = std::chrono::system_clock::now().time_since_epoch().count();
        for (size_t i = 0; i < 8; ++i)
            bytes[i] = static_cast<uint8_t>(static_cast<uint64_t>(now) >> (8 * i));
        const auto pid = static_cast<uint32_t>(getpid());
        for (size_t i = 0; i < 4; ++i)
            bytes[8 + i] = static_cast<uint8_t>(pid >> (8 * i));
    }
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);  // variant 1
    static const char kDigits[] = "0123456789abcdef";
    std::string id;
    for (size_t i = 0; i < sizeof bytes; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            id += '-';
        id += kDigits[bytes[i] >> 4];
        id += kDigits[bytes[i] & 0x0F];
    }
    return id;
}

std::string IsoTime(std::chrono::system_clock::time_point time)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(ms % 1000));
    return text;
}

std::string ResultEventJson(const DeviceResult& result, const std::string& run, const std::string& time,
                            const std::string* file)
{
    Json event = Event("result", run, time);
    event["port"] = result.port.empty() ? Json(nullptr) : Json(result.port);
    event["outcome"] = OutcomeTable(result.outcome).name;
    event["seconds"] = Tenths(result.seconds);
    event["path"] = result.path.empty() ? Json(nullptr) : Json(result.path);
    event["usb"] = UsbObject(result.usb);
    event["started"] = IsoTime(result.started);
    event["ended"] = IsoTime(result.ended);
    event["from_version"] = result.fromVersion ? Json(*result.fromVersion) : Json(nullptr);
    event["to_version"] = result.toVersion;
    event["file_sha256"] = result.fileSha256;
    event["attempts"] = result.attempts;
    event["lines"] = ResultLines(result.outcome, result.context);
    if (result.deviceIndex)
        event["device_index"] = *result.deviceIndex;
    if (file)
        event["file"] = *file;
    return Dump(event);
}

std::string Printable(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out += (c < 0x20 || c == 0x7F) ? '?' : static_cast<char>(c);
            ++i;
            continue;
        }
        // A well-formed UTF-8 sequence that is not a C1 control passes.
        size_t length = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c <= 0xDF ? 2 : 0;
        if (c >= 0xF5)
            length = 0;
        bool good = length != 0 && i + length <= text.size();
        uint32_t code = length == 2 ? c & 0x1F : length == 3 ? c & 0x0F : c & 0x07;
        for (size_t k = 1; good && k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            good = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3F);
        }
        if (good) {
            // Overlong forms, surrogates and beyond U+10FFFF are no UTF-8.
            const uint32_t least = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
            good = code >= least && !(code >= 0xD800 && code <= 0xDFFF) && code <= 0x10FFFF;
        }
        if (!good) {
            out += '?';  // each byte that is no UTF-8
            ++i;
            continue;
        }
        // C1 controls, and what changes how the rest reads without being
        // seen, are one '?' each.
        if ((code >= 0x80 && code <= 0x9F) || IsInvisibleFormat(code))
            out += '?';
        else
            out.append(text.substr(i, length));
        i += length;
    }
    return out;
}

std::vector<std::string> ResultLines(Outcome outcome, const OutcomeContext& context)
{
    // The device's name comes from the file: no control of it reaches the
    // terminal.
    OutcomeContext printable = context;
    printable.device = Printable(context.device);
    return CommandLineLines(outcome, printable);
}
