#pragma once
// The live rows of cvf-flash on a terminal: the bytes that take the screen
// from the rows drawn last to the rows wanted now. The rows stand right
// above the cursor's line (where a question may stand); a row that
// changed is rewritten from its first changed character on, the others
// are left alone, so a redraw costs what changed, not the whole table.
// The caller keeps the rows fewer than the terminal's lines (FitRows).

#include <cstddef>
#include <string>
#include <vector>

// The terminal's size; 80x24 when it cannot be told (0 from TIOCGWINSZ).
struct TerminalSize {
    int columns = 80;
    int lines = 24;
};
TerminalSize ReadTerminalSize(int fd);

// Characters of a text on a terminal (UTF-8 continuation bytes take no
// column), and the text cut to at most width of them.
size_t Columns(std::string_view text);
std::string FitColumns(const std::string& text, size_t width);

// What a screen of the given size can show of many rows: all of them when
// they fit in the lines left (lines - 1, less the question's line), else
// summary first and as many rows as fit after it; every row cut to the
// width (less one column, so that no row wraps).
std::vector<std::string> FitRows(const std::vector<std::string>& rows, const std::string& summary, TerminalSize size,
                                 bool question);

class CLiveScreen {
public:
    // The bytes that show rows (already fitted) instead of what is drawn.
    std::string Update(const std::vector<std::string>& rows);
    // The bytes that take the rows, and a question shown under them, off
    // the screen; the cursor is then where the first row was.
    std::string Clear();
    // The bytes that draw the rows anew below the cursor (after Clear or
    // at the start), then the question, if any, after which the cursor
    // stays.
    std::string Draw(const std::vector<std::string>& rows, const std::string& question);
    size_t Drawn() const { return m_rows.size(); }
    bool QuestionShown() const { return m_question; }

private:
    std::vector<std::string> m_rows;  // as on the screen
    bool m_question = false;          // a question stands on the cursor's line
};
