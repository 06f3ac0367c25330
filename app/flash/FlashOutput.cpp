#include "app/flash/FlashOutput.h"

#include <cerrno>
#include <thread>

struct CFlashOutput::State {
    struct Item {
        Stream stream = Stream::Out;
        std::string text;  // with its line end, if it has one
        std::string key;   // progress lines: the device
    };

    int outFd = STDOUT_FILENO;
    int errFd = STDERR_FILENO;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Item> items;
    std::vector<std::string> live;
    bool liveChanged = false;
    bool hold = false;
    int drawn = 0;         // live rows on the screen; the writer's own
    bool writing = false;  // the writer has taken items it has not finished writing
    bool quit = false;
    bool broken[2] = {false, false};  // an output went away: nothing more goes there

    bool Idle() const { return items.empty() && !liveChanged && !writing; }
};

namespace {

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

void CFlashOutput::Prompt(std::string text)
{
    std::lock_guard lock(m_state->mutex);
    m_state->items.push_back({Stream::Err, std::move(text), {}});
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

void CFlashOutput::HoldLive(bool hold)
{
    std::lock_guard lock(m_state->mutex);
    if (m_state->hold == hold)
        return;
    m_state->hold = hold;
    m_state->liveChanged = true;
    m_state->changed.notify_all();
}

bool CFlashOutput::Finish(std::chrono::milliseconds limit)
{
    std::unique_lock lock(m_state->mutex);
    return m_state->changed.wait_for(lock, limit, [this] { return m_state->Idle(); });
}

void CFlashOutput::Write(const std::shared_ptr<State>& state)
{
    std::unique_lock lock(state->mutex);
    for (;;) {
        state->changed.wait(lock, [&] { return state->quit || !state->items.empty() || state->liveChanged; });
        if (state->items.empty() && !state->liveChanged)
            return;  // quit, with nothing left
        std::deque<State::Item> items = std::move(state->items);
        state->items.clear();
        const bool redraw = state->liveChanged || (!items.empty() && state->drawn > 0);
        const std::vector<std::string> live = state->hold ? std::vector<std::string>() : state->live;
        state->liveChanged = false;
        int drawn = state->drawn;
        state->writing = true;
        lock.unlock();

        // The live rows go off the screen before anything else is written,
        // and come back below it.
        std::string screen;
        if (redraw && drawn > 0) {
            screen = "\x1b[" + std::to_string(drawn) + "A\r\x1b[J";
            drawn = 0;
        }
        bool outGood = !state->broken[0];
        bool errGood = !state->broken[1];
        for (const State::Item& item : items) {
            if (item.stream == Stream::Out) {
                screen += item.text;
                continue;
            }
            if (outGood && !screen.empty())
                outGood = WriteAll(state->outFd, screen);
            screen.clear();
            if (errGood)
                errGood = WriteAll(state->errFd, item.text);
        }
        if (redraw) {
            for (const std::string& row : live)
                screen += row + "\x1b[K\n";
            drawn = static_cast<int>(live.size());
        }
        if (outGood && !screen.empty())
            outGood = WriteAll(state->outFd, screen);

        lock.lock();
        state->broken[0] = !outGood;
        state->broken[1] = !errGood;
        state->drawn = drawn;
        state->writing = false;
        state->changed.notify_all();
    }
}
