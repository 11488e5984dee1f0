#include "SignalWatcher.h"

#include <QSocketNotifier>
#include <QtGlobal>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

int s_pipe[2] = {-1, -1};

} // namespace

SignalWatcher::SignalWatcher(QObject* parent) : QObject(parent)
{
    if (::pipe2(s_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        qWarning("Unable to watch for interrupts: %s", std::strerror(errno));
        s_pipe[0] = s_pipe[1] = -1;
        return;
    }
    m_notifier = std::make_unique<QSocketNotifier>(s_pipe[0], QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &SignalWatcher::onReadable);

    struct sigaction action = {};
    action.sa_handler = &SignalWatcher::onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, &m_previousInt);
    ::sigaction(SIGTERM, &action, &m_previousTerm);
}

SignalWatcher::~SignalWatcher()
{
    if (!m_notifier)
        return;
    ::sigaction(SIGINT, &m_previousInt, nullptr);
    ::sigaction(SIGTERM, &m_previousTerm, nullptr);
    m_notifier.reset();
    ::close(s_pipe[0]);
    ::close(s_pipe[1]);
    s_pipe[0] = s_pipe[1] = -1;
}

void SignalWatcher::onSignal(int signalNumber)
{
    const int savedErrno = errno;
    const char byte = char(signalNumber);
    // A full pipe drops the byte; enough interrupts are pending then anyway.
    [[maybe_unused]] const ssize_t written = ::write(s_pipe[1], &byte, 1);
    errno = savedErrno;
}

void SignalWatcher::onReadable()
{
    char bytes[16];
    ssize_t count = 0;
    while ((count = ::read(s_pipe[0], bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < count; ++i)
            emit interrupted(bytes[i]);
    }
}
