#include "app/flash/FlashReport.h"

#include "app/flash/FlashOutput.h"

#include "app/workflow/StringIds.h"
#include "app/workflow/StringTable.h"
#include "link/PortList.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <utility>

#include <sys/ioctl.h>
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

// Characters a terminal shows for a text (UTF-8 continuation bytes take
// no room of their own).
size_t Width(std::string_view text)
{
    return static_cast<size_t>(std::count_if(text.begin(), text.end(),
                                             [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// The text cut to at most width characters.
std::string Fit(const std::string& text, size_t width)
{
    size_t shown = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            if (shown == width)
                return text.substr(0, i);
            ++shown;
        }
    }
    return text;
}

// ---------------------------------------------------------------------------
// Text for people

class CTextReport : public CFlashReport {
public:
    CTextReport(bool quiet, CFlashOutput& output) : m_quiet(quiet), m_output(output)
    {
        const char* term = std::getenv("TERM");
        m_tty = isatty(STDOUT_FILENO) != 0 && !(term && std::strcmp(term, "dumb") == 0);
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
                widths[c] = std::max(widths[c], Width(row[c]));
        }
        for (const auto& row : m_list) {
            std::string text;
            for (size_t c = 0; c < 3; ++c)
                text += row[c] + std::string(widths[c] - Width(row[c]) + 2, ' ');
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

    void Progress(const std::string& port, int percent, std::optional<int>, const std::string& remainingText) override
    {
        const std::string remaining = TrimEnd(remainingText);
        if (m_tty) {
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

    void Result(const std::string& port, Outcome outcome, double, const OutcomeContext& context) override
    {
        RemoveRow(port);
        RemoveRow(m_searchRow);
        const bool failed = OutcomeTable(outcome).exitStatus != 0;
        for (const std::string& text : ResultLines(outcome, context)) {
            if (!m_quiet)
                Line(Prefix(port) + text);
            else if (failed)
                Line(Prefix(port) + text, CFlashOutput::Stream::Err);
        }
    }

    void Error(int, const std::string& message) override { Line(TrimEnd(message), CFlashOutput::Stream::Err); }

    void Ask(const std::string& question) override
    {
        m_output.HoldLive(true);
        m_output.Prompt(question);
    }

    void Answered() override { m_output.HoldLive(false); }

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

    // Hands the live rows to the writer, cut to the terminal's width.
    void Draw()
    {
        if (!m_tty || m_quiet)
            return;
        winsize size{};
        size_t width = 80;
        if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1)
            width = size.ws_col;
        std::vector<std::string> rows;
        rows.reserve(m_rows.size());
        for (const auto& row : m_rows)
            rows.push_back(Fit(Printable(row.second), width - 1));
        m_output.Live(std::move(rows));
    }

    bool m_quiet;
    CFlashOutput& m_output;
    bool m_tty = false;
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
    CJsonReport(bool quiet, CFlashOutput& output) : m_quiet(quiet), m_output(output) {}

    void FileLoaded(const std::string& path, const CLoadedFirmware& firmware) override
    {
        Emit({{"event", "file"},
              {"path", path},
              {"device", firmware.device},
              {"index", firmware.index},
              {"version", VersionLine(firmware.version1, firmware.version2)},
              {"bytes", firmware.totalBytes}});
    }

    void ListedPort(const PortInfo& port, PortState state, const std::optional<UsbInfo>& usb) override
    {
        Json event = {{"event", "port"}, {"port", port.name}, {"path", port.path}, {"state", PortStateName(state)}};
        if (usb)
            event["usb"] = {{"vendor", usb->vendorId},
                            {"product", usb->productId},
                            {"serial", usb->serial},
                            {"name", usb->product}};
        Emit(event);
    }
    void ListEnd() override {}
    void Note(const std::string&) override {}
    void Searching(const std::string&, bool) override {}

    void Found(const FoundDevice& device, const std::string&) override
    {
        Emit({{"event", "found"},
              {"port", device.port},
              {"compatible", device.compatible},
              {"version", device.haveVersion ? Json(VersionLine(device.version1, device.version2)) : Json(nullptr)}});
    }

    void TransferStarted(const std::string&, const std::string&) override {}

    void Progress(const std::string& port, int percent, std::optional<int> remainingSeconds,
                  const std::string&) override
    {
        if (m_quiet)
            return;
        Json event = {{"event", "progress"}, {"port", port}, {"percent", percent}};
        if (remainingSeconds)
            event["remaining_s"] = *remainingSeconds;
        m_output.ProgressLine(port, Dump(event));
    }

    void Result(const std::string& port, Outcome outcome, double seconds, const OutcomeContext&) override
    {
        Emit({{"event", "result"},
              {"port", port.empty() ? Json(nullptr) : Json(port)},
              {"outcome", OutcomeTable(outcome).name},
              {"seconds", Tenths(seconds)}});
    }

    void Error(int code, const std::string& message) override
    {
        Emit({{"event", "error"}, {"code", code}, {"message", OneLine(message)}});
    }

    void Ask(const std::string& question) override { m_output.Prompt(question); }
    void Answered() override {}

private:
    static std::string Dump(const Json& event)
    {
        // Text from files and devices need not be UTF-8: what is not comes
        // out as U+FFFD rather than as an exception.
        return event.dump(-1, ' ', false, Json::error_handler_t::replace);
    }
    void Emit(const Json& event) { m_output.Line(CFlashOutput::Stream::Out, Dump(event)); }

    bool m_quiet;
    CFlashOutput& m_output;
};

}  // namespace

std::unique_ptr<CFlashReport> MakeFlashReport(bool json, bool quiet, CFlashOutput& output)
{
    if (json)
        return std::make_unique<CJsonReport>(quiet, output);
    return std::make_unique<CTextReport>(quiet, output);
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
            // Overlong forms, surrogates, beyond U+10FFFF and C1 controls.
            const uint32_t least = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
            good = code >= least && !(code >= 0xD800 && code <= 0xDFFF) && code <= 0x10FFFF &&
                   !(code >= 0x80 && code <= 0x9F);
        }
        if (good) {
            out.append(text.substr(i, length));
            i += length;
        } else {
            out += '?';
            ++i;
        }
    }
    return out;
}

std::vector<std::string> ResultLines(Outcome outcome, const OutcomeContext& context)
{
    switch (outcome) {
    case Outcome::Compatible: return {Text(IDS_FLASH_DRY_RUN_DONE)};
    case Outcome::Declined: return {Text(IDS_FLASH_DECLINED)};
    case Outcome::LoadStopped:
    case Outcome::SearchStopped: return {Text(IDS_FLASH_STOPPED)};
    case Outcome::TransferStopped: return {Text(IDS_FLASH_TRANSFER_STOPPED)};
    default: break;
    }
    // Lines 1 to 3 as the window shows them; line 4 tells what to click.
    OutcomeContext printable = context;
    printable.device = Printable(context.device);
    std::vector<std::string> lines;
    const OutcomeRow& row = OutcomeTable(outcome);
    for (int line = 0; line < 3; ++line) {
        const int id = row.lines[static_cast<size_t>(line)];
        if (id == KEEP_LINE)
            continue;
        const std::string text = TrimEnd(OutcomeLineText(id, printable));
        if (!text.empty())
            lines.push_back(text);
    }
    return lines;
}
