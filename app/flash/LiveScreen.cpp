#include "app/flash/LiveScreen.h"

#include <algorithm>

#include <sys/ioctl.h>

namespace {

bool StartsCharacter(char c)
{
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
}

// Bytes of text up to its column-th character.
size_t ByteOfColumn(const std::string& text, size_t column)
{
    size_t seen = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (StartsCharacter(text[i])) {
            if (seen == column)
                return i;
            ++seen;
        }
    }
    return text.size();
}

// Characters two texts share from their start.
size_t SharedColumns(const std::string& a, const std::string& b)
{
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i])
        ++i;
    // Back to the start of a character that both have whole.
    while (i > 0 && i < a.size() && !StartsCharacter(a[i]))
        --i;
    return Columns(std::string_view(a).substr(0, i));
}

std::string Move(int lines, char direction)
{
    return lines <= 0 ? std::string() : "\x1b[" + std::to_string(lines) + direction;
}

}  // namespace

TerminalSize ReadTerminalSize(int fd)
{
    TerminalSize size;
    winsize ws{};
    if (ioctl(fd, TIOCGWINSZ, &ws) == 0) {
        if (ws.ws_col > 0)
            size.columns = ws.ws_col;
        if (ws.ws_row > 0)
            size.lines = ws.ws_row;
    }
    return size;
}

size_t Columns(std::string_view text)
{
    return static_cast<size_t>(std::count_if(text.begin(), text.end(), StartsCharacter));
}

std::string FitColumns(const std::string& text, size_t width)
{
    return text.substr(0, ByteOfColumn(text, width));
}

std::vector<std::string> FitRows(const std::vector<std::string>& rows, const std::string& summary, TerminalSize size,
                                 bool question)
{
    const size_t width = static_cast<size_t>(std::max(1, size.columns - 1));
    const size_t room = static_cast<size_t>(std::max(1, size.lines - 1 - (question ? 1 : 0)));
    std::vector<std::string> shown;
    const bool all = rows.size() <= room;
    if (!all)
        shown.push_back(FitColumns(summary, width));
    for (const std::string& row : rows) {
        if (shown.size() == room)
            break;
        shown.push_back(FitColumns(row, width));
    }
    return shown;
}

std::string CLiveScreen::Clear()
{
    std::string bytes;
    if (m_question)
        bytes += "\r";
    else if (m_rows.empty())
        return bytes;
    bytes += Move(static_cast<int>(m_rows.size()), 'A') + "\r\x1b[J";
    m_rows.clear();
    m_question = false;
    return bytes;
}

std::string CLiveScreen::Draw(const std::vector<std::string>& rows, const std::string& question)
{
    std::string bytes;
    for (const std::string& row : rows)
        bytes += row + "\x1b[K\n";
    bytes += question;
    m_rows = rows;
    m_question = !question.empty();
    return bytes;
}

std::string CLiveScreen::Update(const std::vector<std::string>& rows)
{
    if (rows.size() != m_rows.size()) {
        // Rows came or went: the table is drawn anew, the question kept.
        const bool question = m_question;
        std::string bytes = Clear();
        bytes += Draw(rows, {});
        m_question = question;
        return bytes;
    }
    std::string bytes;
    const int drawn = static_cast<int>(m_rows.size());
    int at = drawn;  // the cursor's line, counted from the first row
    for (int i = 0; i < drawn; ++i) {
        const std::string& before = m_rows[static_cast<size_t>(i)];
        const std::string& now = rows[static_cast<size_t>(i)];
        if (before == now)
            continue;
        if (bytes.empty())
            bytes = "\x1b" "7";  // the cursor as it is (after a question and what was typed)
        bytes += at > i ? Move(at - i, 'A') : Move(i - at, 'B');
        at = i;
        const size_t shared = SharedColumns(before, now);
        bytes += "\r" + (shared > 0 ? "\x1b[" + std::to_string(shared) + "C" : std::string());
        bytes += now.substr(ByteOfColumn(now, shared)) + "\x1b[K";
    }
    if (!bytes.empty())
        bytes += "\x1b" "8";
    m_rows = rows;
    return bytes;
}
