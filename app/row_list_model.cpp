#include "app/row_list_model.h"

#include <algorithm>
#include <utility>

namespace merriphonic {

RowListModel::RowListModel(const QList<QByteArray>& roles, QObject* parent)
    : QAbstractListModel(parent) {
    int role = Qt::UserRole + 1;
    for (const QByteArray& name : roles) {
        roles_.insert(role++, name);
    }
}

int RowListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : count();
}

QVariant RowListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() < 0 || index.row() >= count()) {
        return {};
    }
    const auto name = roles_.constFind(role);
    if (name == roles_.constEnd()) {
        return {};
    }
    return rows_.at(index.row()).value(QString::fromUtf8(*name));
}

QHash<int, QByteArray> RowListModel::roleNames() const {
    return roles_;
}

QVariant RowListModel::value(int row, const QString& role) const {
    return row >= 0 && row < count() ? rows_.at(row).value(role) : QVariant();
}

void RowListModel::setRows(QList<QVariantMap> rows) {
    const int before = count();
    const int after = static_cast<int>(rows.size());
    const int common = std::min(before, after);
    if (after < before) {
        beginRemoveRows(QModelIndex(), after, before - 1);
        rows_.resize(after);
        endRemoveRows();
    }
    for (int i = 0; i < common; ++i) {
        if (rows_.at(i) != rows.at(i)) {
            rows_[i] = rows.at(i);
            Q_EMIT dataChanged(index(i), index(i));
        }
    }
    if (after > before) {
        beginInsertRows(QModelIndex(), before, after - 1);
        for (int i = before; i < after; ++i) {
            rows_.append(std::move(rows[i]));
        }
        endInsertRows();
    }
    if (after != before) {
        Q_EMIT countChanged();
    }
}

} // namespace merriphonic
