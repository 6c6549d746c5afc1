// A host in a process of its own, for the same-machine radio's cross-process tests. It
// publishes a channel, adds the party service (PSM and info characteristics), advertises under
// the name given as its first argument, keeps its files in the folder given as its second, and
// answers every speaker that opens a channel: WELCOME to HELLO, and every TRACK_CHUNK and
// TRACK_DONE echoed back. It reports on stdout, one line per event ("advertising <id> <psm>",
// "channel <peer id>", "closed <reason>", "error <text>"), and exits cleanly when its stdin
// closes.

#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/json_value.h"
#include "core/json_writer.h"
#include "core/sync_protocol.h"
#include "platform/local/local_peripheral_manager.h"
#include "platform/qt/real_device.h"
#include "platform/qt/stream_thread.h"
#include "transport/connection.h"

namespace merriphonic {
namespace {

class StderrSink final : public LogSink {
public:
    void write(LogCategory category, LogLevel level, std::string_view message) override {
        std::cerr << categoryName(category) << ' ' << levelName(level) << ' ' << message << '\n';
    }
    [[nodiscard]] bool enabled(LogLevel level) const override { return level != LogLevel::debug; }
};

void report(const std::string& line) {
    std::cout << line << std::endl;
}

class Host final : public PeripheralManagerDelegate, public std::enable_shared_from_this<Host> {
public:
    Host(DeviceContext& context, std::string name) : context_(context), name_(std::move(name)) {}

    void start() {
        manager_ = std::make_unique<LocalPeripheralManager>(context_.main, weak_from_this());
    }

    // Withdraws the party and closes every connection; done once openConnections() is 0.
    void stop() {
        manager_.reset();
        for (const auto& connection : connections_) {
            connection->close("host quitting");
        }
    }
    [[nodiscard]] int openConnections() const { return open_; }

    void peripheralStateChanged(RadioState state) override {
        if (state == RadioState::poweredOn) {
            manager_->publishChannel(false);
        } else {
            report("error state " + std::string(radioStateName(state)));
        }
    }

    void channelPublished(uint16_t psm, const std::optional<RadioError>& error) override {
        if (error) {
            report("error publish " + error->description);
            return;
        }
        psm_ = psm;
        const Bytes info =
            JSONWriter::data(JSONValue::object({{"v", JSONValue::integer(SyncProtocol::version)},
                                                {"name", JSONValue::string(name_)},
                                                {"platform", JSONValue::string("linux")}}));
        manager_->addService(
            GattServiceSpec{std::string(SyncProtocol::serviceUUID),
                            true,
                            {{std::string(SyncProtocol::psmCharacteristicUUID),
                              {static_cast<uint8_t>(psm & 0xFF), static_cast<uint8_t>(psm >> 8)}},
                             {std::string(SyncProtocol::infoCharacteristicUUID), info}}});
    }

    void serviceAdded(const GattServiceSpec&, const std::optional<RadioError>& error) override {
        if (error) {
            report("error service " + error->description);
            return;
        }
        manager_->startAdvertising({{std::string(SyncProtocol::serviceUUID)}, name_});
    }

    void advertisingStarted(const std::optional<RadioError>& error) override {
        if (error) {
            report("error advertise " + error->description);
            return;
        }
        report("advertising " + manager_->instanceId() + " " + std::to_string(psm_));
    }

    void channelOpened(std::shared_ptr<L2capChannel> channel,
                       const std::optional<RadioError>& error) override {
        if (!channel) {
            report("error channel " + (error ? error->description : std::string("-")));
            return;
        }
        report("channel " + channel->peerId);
        auto connection = Connection::create(context_, channel->streams, "host");
        const std::weak_ptr<Connection> weak = connection;
        connection->onMessage = [this, weak](const Message& message, int64_t) {
            const auto link = weak.lock();
            if (!link) {
                return;
            }
            if (message.is<Hello>()) {
                link->enqueue(OutboundFrame(
                    Message(Welcome{SyncProtocol::version, manager_->instanceId(), name_})));
            } else if (message.is<TrackChunk>() || message.is<TrackDone>()) {
                link->enqueue(OutboundFrame(message));
            }
        };
        connection->onClose = [this](const std::string& reason) {
            --open_;
            report("closed " + reason);
        };
        ++open_;
        connection->start();
        connections_.push_back(std::move(connection));
    }

    void channelUnpublished(uint16_t, const std::optional<RadioError>&) override {}

private:
    DeviceContext& context_;
    std::string name_;
    uint16_t psm_ = 0;
    std::unique_ptr<LocalPeripheralManager> manager_;
    std::vector<std::shared_ptr<Connection>> connections_;
    int open_ = 0;
};

int run(int argc, char** argv) {
    // Kept to the very end (reachable, never deleted): the stream thread is stopped after
    // main returns, and posting its stop needs the application.
    static auto* const app = new QCoreApplication(argc, argv);
    const std::string name = argc > 1 ? argv[1] : "Party";
    // Its files in a folder of its own, as two app instances on one computer would have.
    const std::filesystem::path root =
        argc > 2 ? argv[2] : std::filesystem::temp_directory_path() / "local-radio-host";
    std::filesystem::create_directories(root);
    RealDeviceOptions options{root / "host.conf", DeviceFolders{root, root, root},
                              std::make_shared<StderrSink>()};
    auto device = std::make_unique<RealDevice>(options);
    auto host = std::make_shared<Host>(device->context(), name);
    host->start();

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, app, [&input] {
        char buffer[256];
        if (::read(STDIN_FILENO, buffer, sizeof(buffer)) <= 0) {
            input.setEnabled(false);
            QCoreApplication::quit();
        }
    });
    const int status = QCoreApplication::exec();
    host->stop();
    while (host->openConnections() > 0) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    host.reset();
    // A connection may still be held by a task of the stream loop; once a marker has gone
    // round that loop, none is, and the device may go.
    bool drained = false;
    RunLoop& main = device->mainLoop();
    StreamThread::shared().post([&main, &drained] { main.post([&drained] { drained = true; }); });
    while (!drained) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    device.reset();
    return status;
}

} // namespace
} // namespace merriphonic

int main(int argc, char** argv) {
    return merriphonic::run(argc, argv);
}
