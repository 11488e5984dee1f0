#pragma once

#include <QVariantMap>

class QAbstractItemModel;

// One row of a list model as a map of role name to value, as a view's
// script reads it; empty for a row out of range.
QVariantMap modelRow(const QAbstractItemModel& model, int row);
