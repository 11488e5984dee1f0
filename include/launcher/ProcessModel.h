#pragma once

#include "ProcessStatus.h"

#include <QAbstractListModel>
#include <QList>
#include <QPointer>
#include <QVariantMap>

class PipelineController;

// The processes of the running (or last) pipeline that have started, one row
// per process by index, for a front end that shows them as they go. Rows are
// inserted as processes start and change in place as their status does; a
// new pipeline removes the old rows before its own are inserted. The model
// is never reset while a pipeline runs, so a view keeps its place.
//
// Roles, by the names a view uses: processIndex, program, name (the name a
// person tells it by: processShownName()), arguments, mode
// ("sync", "async", "daemon"), required, pid, state ("starting", "running",
// ...), startedAt, restarts, hasExited, lastExitCode, lastExitSignal, crashed
// (its last end was a crash), givenUp, givenUpAfter (the ends that gave it
// up by kind: crashes, hangs, memoryCapStops, failedStarts).
class ProcessModel : public QAbstractListModel
{
    Q_OBJECT
    Q_PROPERTY(int count READ count NOTIFY countChanged)

public:
    enum Role
    {
        ProcessIndexRole = Qt::UserRole + 1,
        ProgramRole,
        ArgumentsRole,
        ModeRole,
        RequiredRole,
        PidRole,
        StateRole,
        StartedAtRole,
        RestartsRole,
        HasExitedRole,
        LastExitCodeRole,
        LastExitSignalRole,
        CrashedRole,
        GivenUpRole,
        NameRole,
        GivenUpAfterRole,
    };
    Q_ENUM(Role)

    explicit ProcessModel(QObject* parent = nullptr);

    // Follows that controller from now on; its current processes are the rows.
    void setController(PipelineController* controller);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

    int count() const { return m_statuses.size(); }
    // The row as a map of role name to value; empty for a row out of range.
    Q_INVOKABLE QVariantMap get(int row) const;

signals:
    void countChanged();

private:
    void onPipelineStarted();
    void onProcessStatusChanged(int processIndex);
    // Brings the rows in line with the controller, row by row.
    void update();

    QPointer<PipelineController> m_controller;
    QList<ProcessStatus> m_statuses;
};
