#pragma once

#include <QDBusMessage>
#include <QObject>

#include <functional>
#include <utility>

namespace merriphonic {

// Receives D-Bus signals (QtDBus delivers them only to slots named by text) and hands each
// message to a function, on the thread the relay lives on. Connect with
// SLOT(relay(QDBusMessage)).
class DBusSignalRelay final : public QObject {
    Q_OBJECT

public:
    explicit DBusSignalRelay(std::function<void(const QDBusMessage&)> handler)
        : handler_(std::move(handler)) {}

private:
    std::function<void(const QDBusMessage&)> handler_;

public Q_SLOTS:
    void relay(const QDBusMessage& message) {
        if (handler_) {
            handler_(message);
        }
    }
};

} // namespace merriphonic
