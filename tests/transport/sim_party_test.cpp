// A host and seven speakers on one simulated air: discovery by name, the whole join, framed
// connections over the channels, and the figures of the radio model.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/sim/sim_air.h"
#include "platform/sim/sim_device.h"
#include "platform/sim/sim_world.h"
#include "transport/connection.h"
#include "transport/host_peripheral.h"
#include "transport/speaker_central.h"

namespace merriphonic::transport_test {
namespace {

constexpr int64_t ms = 1'000'000;
constexpr int64_t sec = 1'000'000'000;

struct Speaker {
    std::unique_ptr<SimDevice> device;
    SimRadio* radio = nullptr;
    std::shared_ptr<SpeakerCentral> central;
    int64_t connectNs = -1;
    int64_t openNs = -1;
    std::shared_ptr<L2capChannel> channel;
    std::optional<std::string> partyName;
    std::vector<std::string> failures;
    std::vector<std::string> drops; // disconnections after a join
};

// Speakers on a circle around the host; a second party ("Den") nearby, which nobody joins.
class Party {
public:
    explicit Party(int speakerCount, uint64_t seed = 3) : world(seed) {
        hostRadio = &air.attach(hostDevice, {0, 0});
        air.attach(denDevice, {6, 6});
        host->onChannel = [this](std::shared_ptr<L2capChannel> c) {
            hostChannels.push_back(std::move(c));
        };
        den->onChannel = [this](std::shared_ptr<L2capChannel> c) {
            denChannels.push_back(std::move(c));
        };
        host->start("Kitchen");
        den->start("Den");
        speakers.reserve(static_cast<size_t>(speakerCount));
        for (int i = 0; i < speakerCount; ++i) {
            auto& speaker = speakers.emplace_back();
            speaker.device = std::make_unique<SimDevice>(world, "spk" + std::to_string(i + 1));
            const double angle = i * 0.9;
            const double radiusM = 2.0 + i * 0.6;
            speaker.radio = &air.attach(*speaker.device,
                                        {radiusM * std::cos(angle), radiusM * std::sin(angle)});
            speaker.central = SpeakerCentral::create(speaker.device->context());
            speaker.central->onDiscovered = [this, &speaker](const DiscoveredHost& found) {
                if (found.name == "Kitchen" && speaker.connectNs < 0) {
                    speaker.connectNs = world.nowNs();
                    speaker.central->connect(found.id);
                }
            };
            speaker.central->onChannel = [this, &speaker](std::shared_ptr<L2capChannel> c,
                                                          const std::optional<std::string>& name) {
                speaker.openNs = world.nowNs();
                speaker.channel = std::move(c);
                speaker.partyName = name;
            };
            speaker.central->onConnectFailed = [&speaker](const std::string& sentence) {
                speaker.failures.push_back(sentence);
            };
            speaker.central->onDisconnected = [&speaker](const std::string& why) {
                speaker.drops.push_back(why);
            };
        }
        // Everyone starts looking a little after the parties are up.
        world.runFor(500 * ms);
        for (auto& speaker : speakers) {
            speaker.central->startScan();
        }
    }

    SimWorld world;
    SimAir air{world};
    SimDevice hostDevice{world, "host"};
    SimDevice denDevice{world, "den"};
    SimRadio* hostRadio = nullptr;
    std::shared_ptr<HostPeripheral> host = HostPeripheral::create(hostDevice.context());
    std::shared_ptr<HostPeripheral> den = HostPeripheral::create(denDevice.context());
    std::vector<std::shared_ptr<L2capChannel>> hostChannels;
    std::vector<std::shared_ptr<L2capChannel>> denChannels;
    std::vector<Speaker> speakers; // reserved: callbacks hold references to the elements
};

TEST(SimRadioParty, SevenSpeakersFindThePartyByNameJoinAndTalkOverConnections) {
    Party party(7);
    std::vector<std::shared_ptr<Connection>> hostSide;
    std::set<std::string> hellos;
    party.host->onChannel = [&](const std::shared_ptr<L2capChannel>& channel) {
        auto connection = Connection::create(party.hostDevice.context(), channel->streams,
                                             "spk-" + channel->peerId.substr(0, 4));
        connection->onMessage = [&hellos, weak = std::weak_ptr(connection)](const Message& message,
                                                                            int64_t) {
            auto self = weak.lock();
            if (const auto* hello = message.as<Hello>(); hello && self) {
                hellos.insert(hello->name);
                self->enqueue(OutboundFrame(Message(Welcome{1, "host-id", "Kitchen"})));
            }
        };
        connection->start();
        hostSide.push_back(connection);
    };
    std::vector<std::shared_ptr<Connection>> speakerSide;
    int welcomes = 0;
    party.world.runFor(3 * sec);
    for (auto& speaker : party.speakers) {
        SCOPED_TRACE(speaker.device->name());
        ASSERT_TRUE(speaker.channel);
        EXPECT_TRUE(speaker.failures.empty());
        EXPECT_EQ(speaker.partyName, "Kitchen");
        auto connection =
            Connection::create(speaker.device->context(), speaker.channel->streams, "host");
        connection->onMessage = [&welcomes](const Message& message, int64_t) {
            welcomes += message.is<Welcome>() ? 1 : 0;
        };
        connection->start();
        connection->enqueue(OutboundFrame(
            Message(Hello{1, speaker.device->name(), speaker.device->name(), "linux"})));
        speakerSide.push_back(connection);
    }
    party.world.runFor(2 * sec);
    EXPECT_EQ(hostSide.size(), 7u);
    EXPECT_TRUE(party.denChannels.empty());
    EXPECT_EQ(hellos.size(), 7u);
    EXPECT_EQ(welcomes, 7);
    EXPECT_EQ(party.hostDevice.logSink().count("host: L2CAP channel opened by "), 7u);
    for (auto& connection : speakerSide) {
        connection->close("done");
    }
    for (auto& connection : hostSide) {
        connection->close("done");
    }
    party.world.runFor(sec);
}

// Keeps a channel's output full and counts what its peer reads.
struct Flow {
    Flow(const std::shared_ptr<L2capChannel>& from, const std::shared_ptr<L2capChannel>& to)
        : output(from->streams.output), input(to->streams.input) {
        output->setEventHandler([this](StreamEvent) { fill(); });
        input->setEventHandler([this](StreamEvent) { drain(); });
        output->open();
        input->open();
        fill(); // the streams may have been opened by an earlier flow
        drain();
    }
    ~Flow() {
        output->setEventHandler({});
        input->setEventHandler({});
    }
    Flow(const Flow&) = delete;
    Flow& operator=(const Flow&) = delete;

    void fill() {
        while (output->hasSpaceAvailable() && output->write(chunk.data(), chunk.size()) > 0) {
        }
    }
    void drain() {
        while (input->hasBytesAvailable()) {
            const int64_t count = input->read(chunk.data(), chunk.size());
            if (count <= 0) {
                return;
            }
            received += count;
        }
    }

    std::shared_ptr<OutputStream> output;
    std::shared_ptr<InputStream> input;
    std::vector<uint8_t> chunk = std::vector<uint8_t>(8192, 0x5A);
    int64_t received = 0;
};

// Host-to-speaker throughput of `flows` channels at once, in bytes per second.
std::vector<double> throughput(Party& party, size_t flows, int64_t durationNs) {
    std::vector<std::unique_ptr<Flow>> running;
    for (size_t i = 0; i < flows; ++i) {
        const Speaker& speaker = party.speakers.at(i);
        const std::string peer = speaker.radio->identifierSeenBy(*party.hostRadio);
        const auto hostEnd =
            std::find_if(party.hostChannels.begin(), party.hostChannels.end(),
                         [&peer](const auto& channel) { return channel->peerId == peer; });
        EXPECT_NE(hostEnd, party.hostChannels.end());
        running.push_back(std::make_unique<Flow>(*hostEnd, speaker.channel));
    }
    party.world.runFor(sec); // past the start
    std::vector<int64_t> start(flows);
    for (size_t i = 0; i < flows; ++i) {
        start[i] = running[i]->received;
    }
    party.world.runFor(durationNs);
    std::vector<double> rates;
    for (size_t i = 0; i < flows; ++i) {
        rates.push_back(double(running[i]->received - start[i]) * double(sec) / double(durationNs));
    }
    return rates;
}

TEST(SimRadioParty, Measurements) {
    // Joins: seven speakers choose the party at the same moment of discovery.
    Party party(7);
    party.world.runFor(3 * sec);
    std::vector<double> joinMs;
    for (const auto& speaker : party.speakers) {
        ASSERT_GE(speaker.openNs, 0) << speaker.device->name();
        joinMs.push_back(double(speaker.openNs - speaker.connectNs) / double(ms));
    }
    std::sort(joinMs.begin(), joinMs.end());
    double meanMs = 0;
    for (const double value : joinMs) {
        meanMs += value / double(joinMs.size());
    }
    // An advertisement (~100 ms) + setup (~4 intervals) + 6 ATT requests + the channel open.
    EXPECT_GT(joinMs.front(), 250.0);
    EXPECT_LT(joinMs.back(), 1000.0);

    const double alone = throughput(party, 1, 20 * sec).at(0);
    const auto shared = throughput(party, 7, 20 * sec);
    double total = 0;
    for (const double rate : shared) {
        total += rate;
    }
    EXPECT_GT(alone, 80'000.0);
    EXPECT_GT(total, 1.3 * alone) << "seven links use more of the radio than one";
    for (const double rate : shared) {
        EXPECT_NEAR(rate, total / 7, total / 7 * 0.1) << "each link gets about a seventh";
    }

    std::printf("radio model: join (connect to channel open), 7 speakers: min %.0f ms, "
                "mean %.0f ms, max %.0f ms\n",
                joinMs.front(), meanMs, joinMs.back());
    std::printf("radio model: one link alone: %.1f kB/s (%.0f kbit/s)\n", alone / 1000,
                alone * 8 / 1000);
    std::printf("radio model: seven links: %.1f kB/s each (%.0f kbit/s), %.1f kB/s in all\n",
                total / 7000, total * 8 / 7000, total / 1000);
    ::testing::Test::RecordProperty("joinMeanMs", std::to_string(meanMs));
    ::testing::Test::RecordProperty("oneLinkBytesPerSecond", std::to_string(alone));
    ::testing::Test::RecordProperty("sevenLinksBytesPerSecond", std::to_string(total));
}

TEST(SimRadioParty, RadioFaultsReachTheSpeakersAsSentences) {
    Party party(3);
    party.hostRadio->refuseConnections("Busy");
    party.world.runFor(2 * sec);
    for (const auto& speaker : party.speakers) {
        EXPECT_EQ(speaker.failures, (std::vector<std::string>{"Couldn't connect: Busy"}));
    }
    const auto rejoin = [&party](Speaker& speaker) {
        speaker.central->connect(party.hostRadio->identifierSeenBy(*speaker.radio));
        party.world.runFor(2 * sec);
    };
    party.hostRadio->refuseConnections(std::nullopt);
    party.hostRadio->refuseChannels("No resources");
    rejoin(party.speakers[0]);
    EXPECT_EQ(party.speakers[0].failures.back(), "Couldn't open the audio channel: No resources");
    party.hostRadio->refuseChannels(std::nullopt);
    rejoin(party.speakers[0]);
    rejoin(party.speakers[1]);
    ASSERT_TRUE(party.speakers[0].channel && party.speakers[1].channel);

    // A lost link is noticed after the supervision timeout.
    party.speakers[0].radio->loseLinkWith(*party.hostRadio);
    party.world.runFor(419 * ms);
    EXPECT_TRUE(party.speakers[0].drops.empty());
    party.world.runFor(2 * ms);
    EXPECT_EQ(party.speakers[0].drops, (std::vector<std::string>{"Connection timed out"}));

    // The host's Bluetooth off and on: its speakers are dropped, it publishes afresh.
    party.hostRadio->setState(RadioState::poweredOff);
    party.world.runFor(sec);
    EXPECT_EQ(party.host->phase(), HostPeripheral::Phase::starting());
    EXPECT_EQ(party.speakers[1].drops, (std::vector<std::string>{"Remote device powered off"}));
    party.hostRadio->setState(RadioState::poweredOn);
    party.world.runFor(sec);
    EXPECT_EQ(party.host->phase(), HostPeripheral::Phase::advertising());
    EXPECT_EQ(party.hostDevice.logSink().count("host: L2CAP PSM 130"), 1u);
    EXPECT_EQ(party.speakers[2].failures.size(), 1u) << "untouched by the others' faults";
}

} // namespace
} // namespace merriphonic::transport_test
