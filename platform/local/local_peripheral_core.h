#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/result.h"
#include "platform/local/local_manager_core.h"
#include "platform/local/local_radio_options.h"
#include "platform/local/local_record.h"
#include "platform/radio.h"

namespace merriphonic {

// The work of LocalPeripheralManager, kept apart from the manager so that the blocks it posts
// to the main loop and its sockets' notifiers can hold it weakly. Main loop's thread only.
class LocalPeripheralCore final : public PeripheralManager,
                                  public LocalManagerCore,
                                  public std::enable_shared_from_this<LocalPeripheralCore> {
public:
    LocalPeripheralCore(RunLoop& main, std::weak_ptr<PeripheralManagerDelegate> delegate,
                        const LocalRadioOptions& options);
    ~LocalPeripheralCore() override;
    LocalPeripheralCore(const LocalPeripheralCore&) = delete;
    LocalPeripheralCore& operator=(const LocalPeripheralCore&) = delete;

    // Tells the delegate the state; once the core is shared.
    void start();

    // ---- PeripheralManager ----

    [[nodiscard]] RadioState state() const override { return state_; }
    // Unix sockets never leave the computer: there is nothing to encrypt against.
    void publishChannel(bool encrypted) override;
    void unpublishChannel(uint16_t psm) override;
    void removeAllServices() override;
    void addService(const GattServiceSpec& service) override;
    void startAdvertising(const AdvertisingData& data) override;
    void stopAdvertising() override;
    [[nodiscard]] bool isAdvertising() const override { return advertising_; }

private:
    struct Listener;
    struct PendingChannel;

    template <typename Fn>
    void tell(Fn fn) {
        main_.post([weak = weak_from_this(), fn = std::move(fn)]() mutable {
            const auto self = weak.lock();
            if (!self) {
                return;
            }
            if (const auto delegate = self->delegate_.lock()) {
                fn(*delegate);
            }
        });
    }

    static std::optional<RadioError> toRadioError(const std::optional<std::string>& text);
    [[nodiscard]] std::optional<std::string> unavailable() const;
    static std::optional<GattServiceSpec> canonicalService(const GattServiceSpec& service);
    [[nodiscard]] LocalRecord record() const;
    Result<Done, std::string> writeRecord();

    // For withdrawals, which report no outcome.
    void updateRecord();

    // A number no live host uses, picked at random so that hosts starting together rarely
    // pick the same one (which would still work: each speaker asks its host's record).
    std::optional<uint16_t> freePsm() const;
    Result<uint16_t, std::string> listen();
    void acceptAll(uint16_t psm);
    void awaitHello(int fd);

    // Reads the hello a byte at a time, so that not one framed byte after it is taken from
    // the connection.
    void readHello(uint64_t id);
    void dropPending(uint64_t id, const std::string& reason);
    void failChannel(const std::string& reason);

    RunLoop& main_;
    std::weak_ptr<PeripheralManagerDelegate> delegate_;
    uint64_t processStart_ = 0;
    bool recordWritten_ = false;

    bool advertising_ = false;
    AdvertisingData advertisement_;
    std::vector<GattServiceSpec> services_;
    std::map<uint16_t, std::unique_ptr<Listener>> listeners_;
    std::map<uint64_t, std::unique_ptr<PendingChannel>> pending_;
    uint64_t nextPendingId_ = 0;
};

} // namespace merriphonic
