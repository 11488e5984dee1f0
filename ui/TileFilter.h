#pragma once

#include <QSortFilterProxyModel>

// The applications that get a tile: the valid ones, and the invalid ones too
// when showInvalid is set (they are shown greyed, with their problems).
class TileFilter : public QSortFilterProxyModel
{
    Q_OBJECT
    Q_PROPERTY(QAbstractItemModel* applications READ sourceModel WRITE setApplications NOTIFY
                   applicationsChanged)
    Q_PROPERTY(bool showInvalid READ showInvalid WRITE setShowInvalid NOTIFY showInvalidChanged)

public:
    explicit TileFilter(QObject* parent = nullptr);

    void setApplications(QAbstractItemModel* applications);
    bool showInvalid() const { return m_showInvalid; }
    void setShowInvalid(bool show);

signals:
    void applicationsChanged();
    void showInvalidChanged();

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

private:
    bool m_showInvalid = false;
    int m_validRole = -1;
};
