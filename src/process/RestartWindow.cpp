#include "process/RestartWindow.h"

#include <QStringList>

#include <algorithm>

RestartWindow RestartWindow::with(const QString& what, qint64 nowMs) const
{
    RestartWindow window(*this);
    QList<End>& ends = window.m_ends;
    ends.append({nowMs, what});
    const int keep = std::max(m_config->restartLimit, 1);
    while (ends.size() > 1 && (ends.size() > keep || (nowMs - ends.first().atMs) / 1000 >
                                                         qint64(m_config->restartPeriod)))
        ends.removeFirst();
    return window;
}

bool RestartWindow::isFull(qint64 nowMs) const
{
    if (m_config->restartLimit < 1)
        return true;
    const int count = m_ends.size();
    for (int i = 1; i <= m_config->restartLimit; ++i) {
        if (i > count)
            return false;
        if ((nowMs - m_ends.at(count - i).atMs) / 1000 > qint64(m_config->restartPeriod))
            return false;
    }
    return true;
}

int RestartWindow::delaySeconds() const
{
    // A restart on request follows no end, and waits for none.
    if (m_config->restartDelay <= 0 || m_ends.isEmpty())
        return 0;
    const int doublings = std::min(int(m_ends.size()) - 1, 30);
    const qint64 delay = qint64(m_config->restartDelay) << std::max(doublings, 0);
    return int(
        std::min(delay, qint64(std::max(m_config->restartDelayMax, m_config->restartDelay))));
}

int RestartWindow::count(const QString& what) const
{
    return int(std::count_if(m_ends.cbegin(), m_ends.cend(),
                             [&what](const End& end) { return end.what == what; }));
}

QString RestartWindow::givenUpWords() const
{
    QStringList kinds;
    for (const End& end : m_ends) {
        if (!kinds.contains(end.what))
            kinds.append(end.what);
    }
    const int ends = m_ends.size();
    return QStringLiteral("%1 %2 within %3 s: not restarted again")
        .arg(kinds.join(QStringLiteral(" or ")),
             ends == 1 ? QStringLiteral("once") : QStringLiteral("%1 times").arg(ends))
        .arg(m_config->restartPeriod);
}
