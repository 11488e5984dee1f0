#include "model/ModelRow.h"

#include <QAbstractItemModel>

QVariantMap modelRow(const QAbstractItemModel& model, int row)
{
    QVariantMap map;
    if (row < 0 || row >= model.rowCount())
        return map;
    const QModelIndex at = model.index(row, 0);
    const QHash<int, QByteArray> roles = model.roleNames();
    for (auto it = roles.cbegin(); it != roles.cend(); ++it)
        map.insert(QString::fromLatin1(it.value()), model.data(at, it.key()));
    return map;
}
