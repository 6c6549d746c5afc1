#pragma once

#include <QAbstractListModel>
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QVariantMap>

namespace merriphonic {

// A list for QML whose rows are maps from role names to values. Replacing the rows changes
// only what differs, so delegates (a row's open menu, a running progress bar) survive updates.
class RowListModel final : public QAbstractListModel {
    Q_OBJECT
    Q_PROPERTY(int count READ count NOTIFY countChanged)

public:
    explicit RowListModel(const QList<QByteArray>& roles, QObject* parent = nullptr);

    [[nodiscard]] int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    [[nodiscard]] QVariant data(const QModelIndex& index, int role) const override;
    [[nodiscard]] QHash<int, QByteArray> roleNames() const override;

    [[nodiscard]] int count() const { return static_cast<int>(rows_.size()); }
    [[nodiscard]] const QList<QVariantMap>& rows() const { return rows_; }
    // The value of a role in a row, for tests and for QML.
    Q_INVOKABLE [[nodiscard]] QVariant value(int row, const QString& role) const;

    void setRows(QList<QVariantMap> rows);

Q_SIGNALS:
    void countChanged();

private:
    QHash<int, QByteArray> roles_;
    QList<QVariantMap> rows_;
};

} // namespace merriphonic
