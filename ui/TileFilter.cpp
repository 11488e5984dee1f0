#include "TileFilter.h"

TileFilter::TileFilter(QObject* parent) : QSortFilterProxyModel(parent)
{
    for (const char* signal :
         {SIGNAL(rowsInserted(QModelIndex, int, int)), SIGNAL(rowsRemoved(QModelIndex, int, int)),
          SIGNAL(modelReset()), SIGNAL(layoutChanged())})
        connect(this, signal, this, SIGNAL(countChanged()));
}

void TileFilter::setApplications(QAbstractItemModel* applications)
{
    if (applications == sourceModel())
        return;
    setSourceModel(applications);
    m_validRole = applications ? applications->roleNames().key("valid", -1) : -1;
    invalidateFilter();
    emit applicationsChanged();
    emit countChanged();
}

void TileFilter::setShowInvalid(bool show)
{
    if (show == m_showInvalid)
        return;
    m_showInvalid = show;
    invalidateFilter();
    emit showInvalidChanged();
    emit countChanged();
}

int TileFilter::sourceRow(int row) const
{
    return mapToSource(index(row, 0)).row();
}

bool TileFilter::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const
{
    if (m_showInvalid || m_validRole < 0)
        return true;
    return sourceModel()->index(sourceRow, 0, sourceParent).data(m_validRole).toBool();
}
