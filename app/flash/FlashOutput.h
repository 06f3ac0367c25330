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
// device at work) are drawn below the lines and redrawn in place: the
// writer takes them off the screen before it writes lines, and draws the
// latest rows it was given after them.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <unistd.h>

class CFlashOutput {
public:
    enum class Stream { Out, Err };

    explicit CFlashOutput(int outFd = STDOUT_FILENO, int errFd = STDERR_FILENO);
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
    // Text without a line end on standard error: a question.
    void Prompt(std::string text);
    // The live rows on the terminal (standard output), already cut to its
    // width; they replace the ones given before.
    void Live(std::vector<std::string> rows);
    // While held (a question waits), the live rows are taken off the
    // screen and not drawn.
    void HoldLive(bool hold);

    // Waits up to limit until everything given is written; false when the
    // output is still blocked then.
    bool Finish(std::chrono::milliseconds limit);

private:
    struct State;
    static void Write(const std::shared_ptr<State>& state);

    std::shared_ptr<State> m_state;
};
