#include "ProcessModel.h"

#include "model/ModelRow.h"

#include "PipelineController.h"

namespace {

bool sameStatus(const ProcessStatus& a, const ProcessStatus& b)
{
    return a.index == b.index && a.program == b.program && a.name == b.name &&
           a.arguments == b.arguments && a.mode == b.mode && a.required == b.required &&
           a.pid == b.pid && a.state == b.state && a.startedAt == b.startedAt &&
           a.restarts == b.restarts && a.hasExited == b.hasExited &&
           a.lastExitStatus == b.lastExitStatus && a.lastExitCode == b.lastExitCode &&
           a.lastExitSignal == b.lastExitSignal && a.givenUp == b.givenUp &&
           a.givenUpAfter == b.givenUpAfter;
}

} // namespace

ProcessModel::ProcessModel(QObject* parent) : QAbstractListModel(parent) {}

void ProcessModel::setController(PipelineController* controller)
{
    if (m_controller)
        disconnect(m_controller, nullptr, this, nullptr);
    m_controller = controller;
    if (controller) {
        // A new pipeline has cleared the controller's processes by the time
        // it enters its starting phase.
        connect(controller, &PipelineController::phaseChanged, this,
                [this](PipelineController::Phase phase) {
                    if (phase == PipelineController::Phase::Starting)
                        onPipelineStarted();
                    else
                        update();
                });
        connect(controller, &PipelineController::processStatusChanged, this,
                &ProcessModel::onProcessStatusChanged);
    }
    update();
}

int ProcessModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_statuses.size();
}

QVariant ProcessModel::data(const QModelIndex& index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return QVariant();
    const ProcessStatus& status = m_statuses.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
    case ProgramRole:
        return status.program;
    case ProcessIndexRole:
        return status.index;
    case NameRole:
        return status.name;
    case ArgumentsRole:
        return status.arguments;
    case ModeRole:
        return processModeName(status.mode);
    case RequiredRole:
        return status.required;
    case PidRole:
        return status.pid;
    case StateRole:
        return QString::fromLatin1(ProcessStatus::stateName(status.state));
    case StartedAtRole:
        return status.startedAt;
    case RestartsRole:
        return status.restarts;
    case HasExitedRole:
        return status.hasExited;
    case LastExitCodeRole:
        return status.lastExitCode;
    case LastExitSignalRole:
        return status.lastExitSignal;
    case CrashedRole:
        return status.hasExited && status.lastExitStatus == QProcess::CrashExit;
    case GivenUpRole:
        return status.givenUp;
    case GivenUpAfterRole:
        return QVariantMap{{"crashes", status.givenUpAfter.crashes},
                           {"hangs", status.givenUpAfter.hangs},
                           {"memoryCapStops", status.givenUpAfter.memoryCapStops},
                           {"failedStarts", status.givenUpAfter.failedStarts}};
    default:
        return QVariant();
    }
}

QHash<int, QByteArray> ProcessModel::roleNames() const
{
    return {
        {ProcessIndexRole, "processIndex"},
        {ProgramRole, "program"},
        {NameRole, "name"},
        {ArgumentsRole, "arguments"},
        {ModeRole, "mode"},
        {RequiredRole, "required"},
        {PidRole, "pid"},
        {StateRole, "state"},
        {StartedAtRole, "startedAt"},
        {RestartsRole, "restarts"},
        {HasExitedRole, "hasExited"},
        {LastExitCodeRole, "lastExitCode"},
        {LastExitSignalRole, "lastExitSignal"},
        {CrashedRole, "crashed"},
        {GivenUpRole, "givenUp"},
        {GivenUpAfterRole, "givenUpAfter"},
    };
}

QVariantMap ProcessModel::get(int row) const
{
    return modelRow(*this, row);
}

// The last pipeline's rows go before the new one's are inserted.
void ProcessModel::onPipelineStarted()
{
    if (!m_statuses.isEmpty()) {
        beginRemoveRows(QModelIndex(), 0, m_statuses.size() - 1);
        m_statuses.clear();
        endRemoveRows();
        emit countChanged();
    }
    update();
}

void ProcessModel::onProcessStatusChanged(int)
{
    update();
}

// The controller only ever appends processes to a pipeline, so the rows in
// common change in place and the rest are new.
void ProcessModel::update()
{
    const QList<ProcessStatus> statuses =
        m_controller ? m_controller->processStatuses() : QList<ProcessStatus>();
    const int before = m_statuses.size();
    if (statuses.size() < before) {
        beginRemoveRows(QModelIndex(), statuses.size(), before - 1);
        m_statuses.erase(m_statuses.begin() + statuses.size(), m_statuses.end());
        endRemoveRows();
    }
    for (int row = 0; row < m_statuses.size(); ++row) {
        if (sameStatus(m_statuses.at(row), statuses.at(row)))
            continue;
        m_statuses[row] = statuses.at(row);
        emit dataChanged(index(row), index(row));
    }
    if (statuses.size() > m_statuses.size()) {
        beginInsertRows(QModelIndex(), m_statuses.size(), statuses.size() - 1);
        m_statuses = statuses;
        endInsertRows();
    }
    if (m_statuses.size() != before)
        emit countChanged();
}
