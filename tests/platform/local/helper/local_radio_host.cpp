// A host in a process of its own, for the same-machine radio's cross-process test: it
// publishes a channel, serves the party service with the PSM and advertises under the name
// given as its first argument, in the rendezvous folder given as its second. It greets every
// speaker that opens a channel ("<name> greets <peer id>") and runs until killed (a minute at
// most).

#include <QCoreApplication>
#include <QTimer>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/sync_protocol.h"
#include "platform/local/local_peripheral_manager.h"
#include "platform/qt/qt_run_loop.h"

namespace merriphonic {
namespace {

class Host final : public PeripheralManagerDelegate {
public:
    explicit Host(std::string name) : name_(std::move(name)) {}

    void peripheralStateChanged(RadioState) override { manager->publishChannel(false); }
    void channelPublished(uint16_t psm, const std::optional<RadioError>&) override {
        manager->addService({std::string(SyncProtocol::serviceUuid),
                             true,
                             {{std::string(SyncProtocol::psmCharacteristicUuid),
                               {static_cast<uint8_t>(psm), static_cast<uint8_t>(psm >> 8)}}}});
    }
    void serviceAdded(const GattServiceSpec&, const std::optional<RadioError>&) override {
        manager->startAdvertising({{std::string(SyncProtocol::serviceUuid)}, name_});
    }
    void advertisingStarted(const std::optional<RadioError>&) override {}
    void channelOpened(std::shared_ptr<L2capChannel> channel,
                       const std::optional<RadioError>&) override {
        if (!channel) {
            return;
        }
        OutputStream* output = channel->streams.output.get();
        output->setEventHandler(
            [output, text = name_ + " greets " + channel->peerId](StreamEvent event) mutable {
                if (event == StreamEvent::spaceAvailable && !text.empty()) {
                    const int64_t count =
                        output->write(reinterpret_cast<const uint8_t*>(text.data()), text.size());
                    text.erase(0, static_cast<size_t>(std::max<int64_t>(count, 0)));
                }
            });
        output->open();
        channels_.push_back(std::move(channel));
    }
    void channelUnpublished(uint16_t, const std::optional<RadioError>&) override {}

    std::unique_ptr<LocalPeripheralManager> manager;

private:
    std::string name_;
    std::vector<std::shared_ptr<L2capChannel>> channels_;
};

} // namespace
} // namespace merriphonic

int main(int argc, char** argv) {
    using namespace merriphonic;
    QCoreApplication app(argc, argv);
    QtRunLoop main;
    LocalRadioOptions options;
    options.folder = argc > 2 ? argv[2] : "";
    options.streams = &main;
    auto host = std::make_shared<Host>(argc > 1 ? argv[1] : "Party");
    host->manager = std::make_unique<LocalPeripheralManager>(main, host, options);
    QTimer::singleShot(60'000, &app, &QCoreApplication::quit);
    const int status = QCoreApplication::exec();
    host->manager.reset();
    return status;
}
