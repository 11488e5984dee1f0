#include "ApplicationModel.h"

#include "model/ModelRow.h"

namespace {

QStringList problemTexts(const QList<ValidationProblem>& problems)
{
    QStringList texts;
    for (const ValidationProblem& problem : problems)
        texts.append(problem.text());
    return texts;
}

QVariantList problemProcesses(const QList<ValidationProblem>& problems)
{
    QVariantList indexes;
    for (const ValidationProblem& problem : problems)
        indexes.append(problem.processIndex);
    return indexes;
}

QStringList lintTexts(const QList<ConfigProblem>& problems)
{
    QStringList texts;
    for (const ConfigProblem& problem : problems)
        texts.append(problem.severityName() + QStringLiteral(": ") + problem.text());
    return texts;
}

bool sameProblems(const QList<ConfigProblem>& a, const QList<ConfigProblem>& b)
{
    return lintTexts(a) == lintTexts(b);
}

} // namespace

bool ApplicationModel::Application::operator==(const Application& other) const
{
    return basename == other.basename && name == other.name && icon == other.icon &&
           problems == other.problems && sameProblems(lintProblems, other.lintProblems) &&
           autostart == other.autostart;
}

ApplicationModel::ApplicationModel(QObject* parent) : QAbstractListModel(parent) {}

int ApplicationModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_applications.size();
}

QVariant ApplicationModel::data(const QModelIndex& index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return QVariant();
    const Application& application = m_applications.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
    case NameRole:
        return application.name;
    case BasenameRole:
        return application.basename;
    case IconRole:
        return application.icon;
    case ValidRole:
        return application.isValid();
    case ProblemsRole:
        return problemTexts(application.problems);
    case ProblemProcessesRole:
        return problemProcesses(application.problems);
    case LintProblemsRole:
        return lintTexts(application.lintProblems);
    case AutostartRole:
        return application.autostart;
    default:
        return QVariant();
    }
}

QHash<int, QByteArray> ApplicationModel::roleNames() const
{
    return {
        {BasenameRole, "basename"},
        {NameRole, "name"},
        {IconRole, "icon"},
        {ValidRole, "valid"},
        {ProblemsRole, "problems"},
        {ProblemProcessesRole, "problemProcesses"},
        {LintProblemsRole, "lintProblems"},
        {AutostartRole, "autostart"},
    };
}

QVariantMap ApplicationModel::get(int row) const
{
    return modelRow(*this, row);
}

int ApplicationModel::indexOf(const QString& basename) const
{
    for (int row = 0; row < m_applications.size(); ++row) {
        if (m_applications.at(row).basename == basename)
            return row;
    }
    return -1;
}

void ApplicationModel::setApplications(const QList<Application>& applications)
{
    if (applications == m_applications)
        return;
    bool sameRows = applications.size() == m_applications.size();
    for (int row = 0; sameRows && row < applications.size(); ++row)
        sameRows = applications.at(row).basename == m_applications.at(row).basename;

    // Edits in place keep a view's place; added or removed rows start it anew.
    if (sameRows) {
        for (int row = 0; row < applications.size(); ++row) {
            if (applications.at(row) == m_applications.at(row))
                continue;
            m_applications[row] = applications.at(row);
            emit dataChanged(index(row), index(row));
        }
        return;
    }
    const int before = m_applications.size();
    beginResetModel();
    m_applications = applications;
    endResetModel();
    if (m_applications.size() != before)
        emit countChanged();
}
