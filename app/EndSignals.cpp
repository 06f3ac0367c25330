#include "app/EndSignals.h"

#include <QSocketNotifier>

#include <csignal>

#include <sys/signalfd.h>
#include <unistd.h>

namespace {

sigset_t EndSignalSet()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

void CEndSignals::BlockEndSignals()
{
    const sigset_t set = EndSignalSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    // A device or terminal gone away is an error to its caller, not an end.
    std::signal(SIGPIPE, SIG_IGN);
}

CEndSignals::CEndSignals(QObject* parent) : QObject(parent)
{
    const sigset_t set = EndSignalSet();
    m_fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (m_fd < 0)
        return;
    m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] { OnReadable(); });
}

CEndSignals::~CEndSignals()
{
    m_notifier.reset();
    if (m_fd >= 0)
        ::close(m_fd);
}

void CEndSignals::OnReadable()
{
    signalfd_siginfo info{};
    while (::read(m_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
        emit EndRequested(static_cast<int>(info.ssi_signo));
}
