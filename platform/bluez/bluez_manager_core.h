#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <utility>

#include "platform/bluez/bluez_dbus.h"
#include "platform/bluez/bluez_object_watcher.h"
#include "platform/bluez/bluez_radio_options.h"
#include "platform/log.h"
#include "platform/radio.h"
#include "platform/run_loop.h"

namespace merriphonic {

// What the cores of both BlueZ managers stand on: the bus and the adapter's watcher, the
// delegate (told on the main loop, never once the core is gone), BlueZ calls whose answers are
// dropped once the core is gone, and the powered adapter they work on. Main loop's thread only.
template <typename Delegate>
class BluezManagerCore : public std::enable_shared_from_this<BluezManagerCore<Delegate>> {
public:
    BluezManagerCore(RunLoop& main, std::weak_ptr<Delegate> delegate,
                     const BluezRadioOptions& options);
    virtual ~BluezManagerCore() = default;
    BluezManagerCore(const BluezManagerCore&) = delete;
    BluezManagerCore& operator=(const BluezManagerCore&) = delete;

protected:
    // Runs fn with the delegate on the main loop later, if the core and the delegate still exist.
    template <typename Fn>
    void notify(Fn fn);

    template <typename... Args>
    void log(fmt::format_string<Args...> format, Args&&... args) const {
        if (log_ != nullptr) {
            log_->debug(LogCategory::ble, format, std::forward<Args>(args)...);
        }
    }

    [[nodiscard]] bool isOn() const { return !onAdapter_.isEmpty(); }

    void call(const QDBusMessage& message, std::function<void(const QDBusMessage&)> then,
              int timeoutMs = -1);

    // Follows the watcher's state: the adapter powered on (empty when there is none) and the
    // state the delegate is told, `resetting` first when another adapter takes over.
    void stateChanged();
    // The powered adapter is off, gone or replaced: what was set up on it is no more.
    virtual void adapterLost() = 0;

    RunLoop& main_;
    std::weak_ptr<Delegate> delegate_;
    QDBusConnection bus_;
    std::shared_ptr<L2capSockets> sockets_;
    RunLoop& streams_;
    const Log* log_;
    std::unique_ptr<QObject> calls_;
    BluezObjectWatcher watcher_;
    // The adapter while it is powered on; empty otherwise.
    QString onAdapter_;
};

namespace bluez {

inline void tellState(CentralManagerDelegate& delegate, RadioState state) {
    delegate.centralStateChanged(state);
}

inline void tellState(PeripheralManagerDelegate& delegate, RadioState state) {
    delegate.peripheralStateChanged(state);
}

} // namespace bluez

template <typename Delegate>
BluezManagerCore<Delegate>::BluezManagerCore(RunLoop& main, std::weak_ptr<Delegate> delegate,
                                             const BluezRadioOptions& options)
    : main_(main), delegate_(std::move(delegate)), bus_(*options.bus), sockets_(options.sockets),
      streams_(*options.streams), log_(options.log), calls_(std::make_unique<QObject>()),
      watcher_(*options.bus, QString::fromStdString(options.adapter.value_or("")), options.log) {}

template <typename Delegate>
template <typename Fn>
void BluezManagerCore<Delegate>::notify(Fn fn) {
    main_.post([weak = this->weak_from_this(), fn = std::move(fn)] {
        const auto self = weak.lock();
        if (!self) {
            return;
        }
        if (const auto delegate = self->delegate_.lock()) {
            fn(*delegate);
        }
    });
}

template <typename Delegate>
void BluezManagerCore<Delegate>::call(const QDBusMessage& message,
                                      std::function<void(const QDBusMessage&)> then,
                                      int timeoutMs) {
    bluez::callAsync(
        bus_, message, calls_.get(),
        [weak = this->weak_from_this(), then = std::move(then)](const QDBusMessage& reply) {
            if (weak.lock()) {
                then(reply);
            }
        },
        timeoutMs);
}

template <typename Delegate>
void BluezManagerCore<Delegate>::stateChanged() {
    const RadioState state = watcher_.state();
    const QString onAdapter = state == RadioState::poweredOn ? watcher_.adapterPath() : QString();
    if (isOn() && onAdapter != onAdapter_) {
        adapterLost();
        if (!onAdapter.isEmpty()) {
            notify([](Delegate& d) { bluez::tellState(d, RadioState::resetting); });
        }
    }
    onAdapter_ = onAdapter;
    notify([state](Delegate& d) { bluez::tellState(d, state); });
}

} // namespace merriphonic
