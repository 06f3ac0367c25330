#pragma once
// What cvf-flash writes, written by a thread of its own, so that nothing a
// terminal or a pipe does (a reader that stopped, Ctrl-S, a pager that
// waits) holds the run up: the run hands its lines over and goes on, and
// an end signal is acted on whatever the output does. Standard output and
// error stay as the shell made them (they are shared with it: never made
// non-blocking); only this thread waits on them.
//
// Lines are never dropped. A progress line still waiting is replaced by
// the next one of the same device. On a terminal the live rows (one per
// device at work) stand below the lines, and a question below them: the
// rows are redrawn at most ten times a second and only where they changed;
// lines make the writer take the rows off first and draw them again after.
// While a question waits, lines are held back until it is answered.

#include "app/flash/LiveScreen.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

class CFlashOutput {
public:
    enum class Stream { Out, Err };

    explicit CFlashOutput(int outFd = STDOUT_FILENO, int errFd = STDERR_FILENO);
    // Whether standard output is a terminal the live rows are drawn on;
    // without it nothing but the lines and the question is written.
    void UseTerminal(bool terminal);
    // A writer still stuck in a write is left behind: it ends with the
    // process, or when the write returns.
    ~CFlashOutput();
    CFlashOutput(const CFlashOutput&) = delete;
    CFlashOutput& operator=(const CFlashOutput&) = delete;

    // A line, given without its end.
    void Line(Stream stream, std::string text);
    // A line about progress on a device: a line of the same key still
    // waiting is replaced.
    void ProgressLine(const std::string& key, std::string text);
    // The live rows on the terminal (standard output), fitted to it
    // (FitRows); they replace the ones given before.
    void Live(std::vector<std::string> rows);
    // A question on standard error, below the live rows; lines wait until
    // Answered. echoed: the terminal echoed the answer and its line end
    // (it was typed); otherwise the question's line is ended here.
    void Ask(std::string question);
    void Answered(const std::string& answer, bool echoed);
    // Bytes written to standard output so far.
    size_t BytesOut() const;

    // Waits up to limit until everything given is written; false when the
    // output is still blocked then.
    bool Finish(std::chrono::milliseconds limit);

private:
    struct State;
    static void Write(const std::shared_ptr<State>& state);

    std::shared_ptr<State> m_state;
};
