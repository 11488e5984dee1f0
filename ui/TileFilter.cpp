#include "TileFilter.h"

TileFilter::TileFilter(QObject* parent) : QSortFilterProxyModel(parent) {}

void TileFilter::setApplications(QAbstractItemModel* applications)
{
    if (applications == sourceModel())
        return;
    setSourceModel(applications);
    m_validRole = applications ? applications->roleNames().key("valid", -1) : -1;
    invalidateFilter();
    emit applicationsChanged();
}

void TileFilter::setShowInvalid(bool show)
{
    if (show == m_showInvalid)
        return;
    m_showInvalid = show;
    invalidateFilter();
    emit showInvalidChanged();
}

bool TileFilter::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const
{
    if (m_showInvalid || m_validRole < 0)
        return true;
    return sourceModel()->index(sourceRow, 0, sourceParent).data(m_validRole).toBool();
}
