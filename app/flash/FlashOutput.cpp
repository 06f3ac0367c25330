#include "app/flash/FlashOutput.h"

#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <iterator>
#include <mutex>
#include <thread>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;
// The live rows are redrawn at most this often.
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

// False once the reader has gone (EPIPE) or the output fails otherwise.
bool WriteAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

struct CFlashOutput::State {
    struct Item {
        Stream stream = Stream::Out;
        std::string text;  // with its line end
        std::string key;   // progress lines: the device
    };

    int outFd = STDOUT_FILENO;
    int errFd = STDERR_FILENO;
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::deque<Item> items;
    std::vector<std::string> live;
    bool liveChanged = false;
    std::string question;      // waiting for its answer; lines given after it are held meanwhile
    size_t heldFrom = 0;       // the lines given before the question, which still go first
    bool questionChanged = false;
    std::string answered;      // the question and its answer, to write as a line
    bool echoed = false;       // the answer's line end was echoed by the terminal
    bool terminal = false;     // live rows and question drawn on the terminal
    bool writing = false;      // the writer has taken work it has not finished
    bool quit = false;
    bool broken[2] = {false, false};  // an output went away: nothing more goes there
    size_t bytesOut = 0;
    Clock::time_point lastDraw{};

    bool LinesReady() const { return !items.empty() && (question.empty() || heldFrom > 0); }
    bool Idle() const { return !LinesReady() && !liveChanged && !questionChanged && answered.empty() && !writing; }
};

CFlashOutput::CFlashOutput(int outFd, int errFd) : m_state(std::make_shared<State>())
{
    m_state->outFd = outFd;
    m_state->errFd = errFd;
    std::thread([state = m_state] { Write(state); }).detach();
}

CFlashOutput::~CFlashOutput()
{
    Finish(std::chrono::milliseconds(2000));
    std::lock_guard lock(m_state->mutex);
    m_state->quit = true;
    m_state->changed.notify_all();
}

void CFlashOutput::UseTerminal(bool terminal)
{
    std::lock_guard lock(m_state->mutex);
    m_state->terminal = terminal;
}

void CFlashOutput::Line(Stream stream, std::string text)
{
    std::lock_guard lock(m_state->mutex);
    m_state->items.push_back({stream, std::move(text) + "\n", {}});
    m_state->changed.notify_all();
}

void CFlashOutput::ProgressLine(const std::string& key, std::string text)
{
    std::lock_guard lock(m_state->mutex);
    for (State::Item& item : m_state->items) {
        if (item.key == key) {
            item.text = std::move(text) + "\n";
            return;
        }
    }
    m_state->items.push_back({Stream::Out, std::move(text) + "\n", key});
    m_state->changed.notify_all();
}

void CFlashOutput::Live(std::vector<std::string> rows)
{
    std::lock_guard lock(m_state->mutex);
    if (rows == m_state->live)
        return;
    m_state->live = std::move(rows);
    m_state->liveChanged = true;
    m_state->changed.notify_all();
}

void CFlashOutput::Ask(std::string question)
{
    std::lock_guard lock(m_state->mutex);
    m_state->question = std::move(question);
    m_state->heldFrom = m_state->items.size();
    m_state->questionChanged = true;
    m_state->changed.notify_all();
}

void CFlashOutput::Answered(const std::string& answer, bool echoed)
{
    std::lock_guard lock(m_state->mutex);
    if (m_state->question.empty())
        return;
    // Without the rows the question stays where it was written; only a
    // line end the terminal did not echo is missing.
    m_state->answered = m_state->terminal ? m_state->question + answer + "\n" : echoed ? std::string() : "\n";
    m_state->echoed = echoed;
    m_state->question.clear();
    m_state->questionChanged = true;
    m_state->changed.notify_all();
}

size_t CFlashOutput::BytesOut() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->bytesOut;
}

bool CFlashOutput::Finish(std::chrono::milliseconds limit)
{
    std::unique_lock lock(m_state->mutex);
    return m_state->changed.wait_for(lock, limit, [this] { return m_state->Idle(); });
}

void CFlashOutput::Write(const std::shared_ptr<State>& state)
{
    CLiveScreen screen;
    std::unique_lock lock(state->mutex);
    for (;;) {
        state->changed.wait(lock, [&] {
            return state->quit || state->LinesReady() || state->liveChanged || state->questionChanged ||
                   !state->answered.empty();
        });
        const bool lines = state->LinesReady();
        const bool questionChanged = state->questionChanged || !state->answered.empty();
        if (!lines && !state->liveChanged && !questionChanged)
            return;  // quit, with nothing left
        // A change of the rows alone waits for its turn; lines and
        // questions go at once.
        if (!lines && !questionChanged) {
            const auto next = state->lastDraw + kRedrawInterval;
            if (Clock::now() < next) {
                state->changed.wait_until(lock, next, [&] { return state->quit; });
                continue;
            }
        }
        std::deque<State::Item> items;
        if (lines && state->question.empty()) {
            items.swap(state->items);
        } else if (lines) {
            const auto end = state->items.begin() + static_cast<std::ptrdiff_t>(state->heldFrom);
            items.assign(std::make_move_iterator(state->items.begin()), std::make_move_iterator(end));
            state->items.erase(state->items.begin(), end);
            state->heldFrom = 0;
        }
        const bool terminal = state->terminal;
        const std::vector<std::string> live = terminal ? state->live : std::vector<std::string>();
        const std::string question = state->question;
        const bool questionNew = state->questionChanged && !question.empty();
        const std::string answered = std::move(state->answered);
        const bool echoed = std::exchange(state->echoed, false);
        state->answered.clear();
        state->liveChanged = false;
        state->questionChanged = false;
        state->lastDraw = Clock::now();
        state->writing = true;
        lock.unlock();

        // Out and Err in order: what goes to the terminal goes in the
        // order it was given.
        std::vector<std::pair<Stream, std::string>> writes;
        const auto out = [&writes](Stream stream, std::string text) {
            if (text.empty())
                return;
            if (!writes.empty() && writes.back().first == stream)
                writes.back().second += text;
            else
                writes.emplace_back(stream, std::move(text));
        };
        if (!terminal) {
            out(Stream::Err, answered);
            for (State::Item& item : items)
                out(item.stream, std::move(item.text));
            if (questionNew)
                out(Stream::Err, question);
        } else if (!items.empty() || questionChanged) {
            // Rows and question off, the lines, then rows and question
            // drawn again under them. An answer typed moved the cursor a
            // line down.
            if (echoed && screen.QuestionShown())
                out(Stream::Out, "\x1b[A");
            out(Stream::Out, screen.Clear());
            out(Stream::Err, answered);
            for (State::Item& item : items)
                out(item.stream, std::move(item.text));
            out(Stream::Out, screen.Draw(live, {}));
            if (!question.empty()) {
                out(Stream::Err, question);
                // The question stands on the cursor's line under the rows.
                screen.Draw(live, question);
            }
        } else {
            out(Stream::Out, screen.Update(live));
        }
        size_t written = 0;
        bool good[2] = {!state->broken[0], !state->broken[1]};
        for (const auto& [stream, text] : writes) {
            const int index = stream == Stream::Out ? 0 : 1;
            if (good[index])
                good[index] = WriteAll(index == 0 ? state->outFd : state->errFd, text);
            if (index == 0)
                written += text.size();
        }

        lock.lock();
        state->broken[0] = !good[0];
        state->broken[1] = !good[1];
        state->bytesOut += written;
        state->writing = false;
        state->changed.notify_all();
    }
}
