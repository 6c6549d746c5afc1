// What a speaker reads from a host over the air before a channel opens: the advertised name,
// the signal strength, the PSM value and the info record. Whatever the bytes, the join either
// asks for the channel at the PSM the first two bytes give, or fails; the listed name is never
// empty.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/sync_protocol.h"
#include "platform/sim/sim_device.h"
#include "platform/sim/sim_world.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/transport/fake_radio.h"
#include "transport/discovered_host.h"
#include "transport/speaker_central.h"

using namespace merriphonic;
using transport_test::FakePeripheral;
using transport_test::FakeRadio;

using merriphonic::fuzz::check;

namespace {

std::optional<Bytes> valueOf(FuzzedDataProvider& input) {
    if (input.ConsumeBool()) {
        return std::nullopt;
    }
    const std::string text = input.ConsumeRandomLengthString(1024);
    return Bytes(text.begin(), text.end());
}

} // namespace

// NOLINTNEXTLINE(readability-identifier-naming): the name libFuzzer calls
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    static SimWorld world(1);
    static SimDevice device(world, "speaker");
    FakeRadio radio;
    device.context().radio = &radio;

    const std::string service(SyncProtocol::serviceUuid);
    const std::string psmUuid(SyncProtocol::psmCharacteristicUuid);
    const std::string infoUuid(SyncProtocol::infoCharacteristicUuid);
    auto host = std::make_shared<FakePeripheral>("HOST-1");
    host->serviceList = {service};
    host->characteristicList = {psmUuid};
    const bool withInfo = input.ConsumeBool();
    if (withInfo) {
        host->characteristicList.push_back(infoUuid);
    }

    std::vector<DiscoveredHost> seen;
    std::vector<std::string> failures;
    std::optional<std::optional<std::string>> joinedAs;
    {
        auto central = SpeakerCentral::create(device.context());
        central->onDiscovered = [&](const DiscoveredHost& found) { seen.push_back(found); };
        central->onConnectFailed = [&](const std::string& text) { failures.push_back(text); };
        central->onChannel = [&](auto /*channel*/, const std::optional<std::string>& name) {
            joinedAs = name;
        };
        central->startScan();
        radio.central->radioState = RadioState::poweredOn;
        central->centralStateChanged(RadioState::poweredOn);

        std::optional<std::string> localName;
        if (input.ConsumeBool()) {
            localName = input.ConsumeRandomLengthString(512);
        }
        central->peripheralDiscovered(host, Advertisement{localName, {service}},
                                      input.ConsumeIntegral<int>());
        check(seen.size() == 1 && !seen[0].name.empty());

        central->connect("HOST-1");
        central->peripheralConnected(host);
        central->servicesDiscovered(host, std::nullopt);
        central->characteristicsDiscovered(host, service, std::nullopt);
        const std::optional<Bytes> psm = valueOf(input);
        const std::optional<Bytes> info = valueOf(input);
        const bool infoFirst = input.ConsumeBool();
        if (withInfo && infoFirst) {
            central->valueUpdated(host, infoUuid, info, std::nullopt);
        }
        central->valueUpdated(host, psmUuid, psm, std::nullopt);
        if (withInfo && !infoFirst) {
            central->valueUpdated(host, infoUuid, info, std::nullopt);
        }

        const bool readable = psm && psm->size() >= 2;
        check(failures.empty() == readable);
        if (readable) {
            check(central->psm() == static_cast<uint16_t>((*psm)[0] | ((*psm)[1] << 8)));
            const std::optional<std::string> party = central->infoName();
            central->channelOpened(host, std::make_shared<L2capChannel>(), std::nullopt);
            check(joinedAs.has_value() && *joinedAs == party);
        }
        central->disconnect();
    }
    world.runFor(16'000'000'000);
    device.context().radio = nullptr;
    device.logSink().clear(); // a device kept across inputs keeps no lines
    return 0;
}
