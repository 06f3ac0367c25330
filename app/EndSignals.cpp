#include "app/EndSignals.h"

#include "app/workflow/EndSignalSet.h"

#include <QSocketNotifier>

#include <sys/signalfd.h>
#include <unistd.h>

CEndSignals::CEndSignals(QObject* parent) : QObject(parent)
{
    m_fd = OpenEndSignalFd();
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
