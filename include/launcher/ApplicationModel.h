#pragma once

#include "ConfigProblem.h"
#include "PipelineConfig.h"
#include "ValidationProblem.h"

#include <QAbstractListModel>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantMap>

// The loaded applications as a list model, one row per application in the
// order the backend loaded them, for a front end that shows tiles.
//
// Roles, by the names a view uses: basename, name, icon (as the file gives
// it), valid, problems (the texts of its validation problems),
// problemProcesses (the process index of each, -1 for the whole pipeline),
// lintProblems ("error: TEXT" / "warning: TEXT" of its file), autostart.
class ApplicationModel : public QAbstractListModel
{
    Q_OBJECT
    Q_PROPERTY(int count READ count NOTIFY countChanged)

public:
    enum Role
    {
        BasenameRole = Qt::UserRole + 1,
        NameRole,
        IconRole,
        ValidRole,
        ProblemsRole,
        ProblemProcessesRole,
        LintProblemsRole,
        AutostartRole,
    };
    Q_ENUM(Role)

    // What one row shows.
    struct Application
    {
        QString basename;
        QString name;
        QString icon;
        QList<ValidationProblem> problems;
        QList<ConfigProblem> lintProblems;
        bool autostart = false;

        bool isValid() const { return problems.isEmpty(); }
        bool operator==(const Application& other) const;
        bool operator!=(const Application& other) const { return !(*this == other); }
    };

    explicit ApplicationModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

    int count() const { return m_applications.size(); }
    // The row as a map of role name to value; empty for a row out of range.
    Q_INVOKABLE QVariantMap get(int row) const;
    // The row of that application; -1 when it is not loaded.
    Q_INVOKABLE int indexOf(const QString& basename) const;

    // Replaces the rows. The same applications as before change nothing; the
    // same basenames in the same order change their rows in place; anything
    // else resets the model.
    void setApplications(const QList<Application>& applications);
    const QList<Application>& applications() const { return m_applications; }

signals:
    void countChanged();

private:
    QList<Application> m_applications;
};
