#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <bluetooth/bluetooth.h>
#include <bluetooth/l2cap.h>
#include <sys/socket.h>

#include <cerrno>

#include "core/bytes.h"
#include "core/sync_protocol.h"
#include "platform/bluez/bluez_dbus.h"
#include "platform/files.h"
#include "tests/vm/bt_check/bt_check.h"
#include "transport/host_peripheral.h"

namespace merriphonic {

namespace btcheck {

std::string partyName(int party) {
    if (party == 1) {
        return "Merriphonic encore";
    }
    // Plain ASCII first: the advertisement keeps only the first twenty-odd bytes, and a cut
    // through a multi-byte character would be the controller's doing, not ours. Then as many
    // whole verses as the info record keeps whole (the host shortens longer names), padded to
    // the most an ATT attribute may hold.
    std::string name = "Merriphonic check, first party: ";
    const std::string verse = "K\u00fcche \u266b Stra\u00dfe \u2014 ";
    const auto keptWhole = [](const std::string& candidate) {
        const Bytes info = HostPeripheral::infoValue(candidate);
        return std::string(info.begin(), info.end()).find(candidate) != std::string::npos;
    };
    while (keptWhole(name + verse)) {
        name += verse;
    }
    while (HostPeripheral::infoValue(name).size() < 512) {
        name += '.';
    }
    return name;
}

bool announces(std::string_view advertisedName, int party) {
    const std::string name = partyName(party);
    // A shortened name this short could belong to anything.
    return advertisedName == name ||
           (advertisedName.size() >= 12 && std::string_view(name).starts_with(advertisedName));
}

TrackChunk chunk(int index) {
    TrackChunk chunk;
    chunk.offset = static_cast<uint32_t>(index * SyncProtocol::chunkDataSize);
    chunk.data.resize(SyncProtocol::chunkDataSize);
    for (size_t i = 0; i < chunk.data.size(); ++i) {
        chunk.data[i] = static_cast<uint8_t>((i * 7) ^ (i >> 8) ^ static_cast<size_t>(index));
    }
    return chunk;
}

} // namespace btcheck

void CheckedL2capSockets::fault(const std::string& text) {
    if (fault_.empty()) {
        fault_ = text;
    }
}

Result<L2capListeningSocket, RadioError> CheckedL2capSockets::listen(const LeAddress& adapter,
                                                                     bool encrypted) {
    auto result = inner_->listen(adapter, encrypted);
    // Channels accepted later inherit the listening socket's receive MTU.
    if (result && listenReceiveMtu_ != 0 &&
        ::setsockopt(result->fd, SOL_BLUETOOTH, BT_RCVMTU, &listenReceiveMtu_,
                     sizeof(listenReceiveMtu_)) < 0) {
        fault("cannot lower the receive MTU: " + errnoText(errno));
    }
    return result;
}

L2capAcceptResult CheckedL2capSockets::accept(int listeningFd) {
    auto result = inner_->accept(listeningFd);
    if (const auto* channel = std::get_if<std::optional<L2capChannelSocket>>(&result);
        channel != nullptr && channel->has_value()) {
        inspect(**channel);
    }
    return result;
}

Result<L2capChannelSocket, RadioError> CheckedL2capSockets::finishConnect(int fd) {
    auto result = inner_->finishConnect(fd);
    if (result) {
        const L2capChannelSocket* channel = &*result;
        inspect(*channel);
        // The kernel keeps its own least; the channel's stream must grow it for a frame to leave.
        if (connectSendBuffer_ > 0 &&
            ::setsockopt(channel->fd, SOL_SOCKET, SO_SNDBUF, &connectSendBuffer_,
                         sizeof(connectSendBuffer_)) < 0) {
            fault("SO_SNDBUF on the opened channel: " + errnoText(errno));
        }
    }
    return result;
}

void CheckedL2capSockets::inspect(const L2capChannelSocket& channel) {
    const int fd = channel.fd;
    int type = 0;
    socklen_t size = sizeof(type);
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) < 0 || type != SOCK_SEQPACKET) {
        fault("the channel socket is not SOCK_SEQPACKET");
    }
    bt_security security{};
    size = sizeof(security);
    if (::getsockopt(fd, SOL_BLUETOOTH, BT_SECURITY, &security, &size) < 0 ||
        security.level != BT_SECURITY_LOW) {
        fault(
            fmt::format("the channel's security level is {}, not BT_SECURITY_LOW", security.level));
    }
    uint8_t mode = 0;
    size = sizeof(mode);
    // Kernels without enhanced credit-based channels do not answer; the LE address types below
    // then tell the channel's kind.
    if (::getsockopt(fd, SOL_BLUETOOTH, BT_MODE, &mode, &size) == 0 && mode != BT_MODE_LE_FLOWCTL) {
        fault(fmt::format("the channel's mode is {}, not LE flow control", mode));
    }
    sockaddr_l2 local{};
    sockaddr_l2 peer{};
    size = sizeof(local);
    const bool named = ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) == 0;
    size = sizeof(peer);
    const bool peered = ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) == 0;
    const auto isLe = [](uint8_t type) {
        return type == BDADDR_LE_PUBLIC || type == BDADDR_LE_RANDOM;
    };
    if (!named || !peered || !isLe(local.l2_bdaddr_type) || !isLe(peer.l2_bdaddr_type)) {
        fault("the channel is not bound to LE addresses on both ends");
    }
    uint16_t sendMtu = 0;
    uint16_t receiveMtu = 0;
    size = sizeof(sendMtu);
    ::getsockopt(fd, SOL_BLUETOOTH, BT_SNDMTU, &sendMtu, &size);
    size = sizeof(receiveMtu);
    ::getsockopt(fd, SOL_BLUETOOTH, BT_RCVMTU, &receiveMtu, &size);
    if (sendMtu != channel.sendMtu || receiveMtu != channel.receiveMtu) {
        fault(fmt::format("the radio reports MTUs {}/{}, the socket {}/{}", channel.sendMtu,
                          channel.receiveMtu, sendMtu, receiveMtu));
    }
    lastSendMtu_ = channel.sendMtu;
}

namespace {

std::optional<QVariant> call(const QDBusMessage& message) {
    const QDBusMessage reply = QDBusConnection::systemBus().call(message, QDBus::Block, 5000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        return std::nullopt;
    }
    return reply.arguments().constFirst();
}

} // namespace

std::optional<int> BluezProbe::activeAdvertisements() const {
    QDBusMessage get = QDBusMessage::createMethodCall(
        bluez::service, QStringLiteral("/org/bluez/") + bluez::toQString(adapter_),
        bluez::propertiesInterface, QStringLiteral("Get"));
    get << QString(bluez::advertisingManagerInterface) << QStringLiteral("ActiveInstances");
    const auto value = call(get);
    if (!value) {
        return std::nullopt;
    }
    return value->value<QDBusVariant>().variant().toInt();
}

std::optional<std::vector<std::string>> BluezProbe::connectedDevices() const {
    bluez::registerTypes();
    const auto objects = call(QDBusMessage::createMethodCall(bluez::service, QStringLiteral("/"),
                                                             bluez::objectManagerInterface,
                                                             QStringLiteral("GetManagedObjects")));
    if (!objects) {
        return std::nullopt;
    }
    const QString adapterPath = QStringLiteral("/org/bluez/") + bluez::toQString(adapter_);
    const bluez::ObjectMap map = bluez::toObjectMap(*objects);
    std::vector<std::string> connected;
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        const QVariantMap device = it.value().value(bluez::deviceInterface);
        if (bluez::toPath(device.value(QStringLiteral("Adapter"))) == adapterPath &&
            device.value(QStringLiteral("Connected")).toBool()) {
            connected.push_back(bluez::toStd(it.key()));
        }
    }
    return connected;
}

size_t BluezProbe::disconnectAll() const {
    const auto devices = connectedDevices().value_or(std::vector<std::string>{});
    for (const std::string& device : devices) {
        call(QDBusMessage::createMethodCall(bluez::service, bluez::toQString(device),
                                            bluez::deviceInterface, QStringLiteral("Disconnect")));
    }
    return devices.size();
}

} // namespace merriphonic
