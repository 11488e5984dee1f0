#include "logs/LogMaintenance.h"

#include "support/Trace.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <deque>
#include <mutex>
#include <optional>
#include <utility>

using Solvane::Trace;

// The rotations that wait for the worker, each with its time; a job takes the first.
struct LogMaintenance::Waiting
{
    std::mutex mutex;
    std::deque<std::pair<LogRotation, QDateTime>> rotations;
};

LogMaintenance::LogMaintenance(QObject* parent)
    : QObject(parent), m_cancel(std::make_shared<std::atomic<bool>>(false)),
      m_waiting(std::make_shared<Waiting>())
{
    m_pool.setMaxThreadCount(1);
}

LogMaintenance::~LogMaintenance()
{
    m_cancel->store(true);
    m_pool.clear();
    m_pool.waitForDone();
}

void LogMaintenance::start(const LogRotation& rotation, const QDateTime& now)
{
    {
        const std::lock_guard<std::mutex> lock(m_waiting->mutex);
        for (auto& waiting : m_waiting->rotations) {
            if (waiting.first.folder() == rotation.folder()) {
                waiting = {rotation, now};
                return;
            }
        }
        m_waiting->rotations.emplace_back(rotation, now);
    }
    ++m_queued;
    // The job outlives nothing it uses: the destructor waits for it.
    m_pool.start([this, waiting = m_waiting, cancel = m_cancel] {
        std::optional<std::pair<LogRotation, QDateTime>> job;
        {
            const std::lock_guard<std::mutex> lock(waiting->mutex);
            if (!waiting->rotations.empty()) {
                job = std::move(waiting->rotations.front());
                waiting->rotations.pop_front();
            }
        }
        Trace::setThreadSink([this](QtMsgType type, const QByteArray& text) {
            QMetaObject::invokeMethod(
                this, [type, text] { Trace::emitLine(type, text); }, Qt::QueuedConnection);
        });
        if (job)
            job->first.rotate(job->second, cancel.get());
        Trace::setThreadSink({});
        QMetaObject::invokeMethod(this, &LogMaintenance::onJobDone, Qt::QueuedConnection);
    });
}

void LogMaintenance::waitForDone()
{
    m_pool.waitForDone();
    // The lines and the ends that the jobs posted, in their order.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
}

void LogMaintenance::onJobDone()
{
    if (--m_queued == 0)
        emit finished();
}
