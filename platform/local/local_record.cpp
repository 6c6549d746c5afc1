#include "platform/local/local_record.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <utility>

#include "core/hex.h"
#include "core/json_parser.h"
#include "core/json_value.h"
#include "core/json_writer.h"
#include "core/uuid.h"

namespace merriphonic {

namespace {

// Bumped when a change would make older readers misread a record; others skip it.
constexpr int64_t recordFormat = 1;

JsonValue stringArray(const std::vector<std::string>& texts) {
    std::vector<JsonValue> elements;
    elements.reserve(texts.size());
    for (const auto& text : texts) {
        elements.push_back(JsonValue::string(text));
    }
    return JsonValue::array(std::move(elements));
}

// Readers of one record's members: each gives nothing when the member is absent or of another
// type, which rejects the whole record.
struct Reader {
    const JsonValue& object;

    [[nodiscard]] const std::string* string(std::string_view key) const {
        const JsonValue* value = object[key];
        return value != nullptr ? value->stringValue() : nullptr;
    }
    [[nodiscard]] std::optional<std::string> uuid(std::string_view key) const {
        const std::string* text = string(key);
        return text != nullptr ? canonicalUuid(*text) : std::nullopt;
    }
    [[nodiscard]] std::optional<int64_t> integer(std::string_view key) const {
        const JsonValue* value = object[key];
        return value != nullptr ? value->int64Value() : std::nullopt;
    }
    [[nodiscard]] std::optional<bool> boolean(std::string_view key) const {
        const JsonValue* value = object[key];
        return value != nullptr ? value->boolValue() : std::nullopt;
    }
    [[nodiscard]] const std::vector<JsonValue>* array(std::string_view key) const {
        const JsonValue* value = object[key];
        return value != nullptr ? value->arrayValue() : nullptr;
    }
};

std::optional<GattServiceSpec> readService(const JsonValue& value) {
    const Reader reader{value};
    auto uuid = reader.uuid("uuid");
    const auto primary = reader.boolean("primary");
    const auto* characteristics = reader.array("characteristics");
    if (!uuid || !primary || characteristics == nullptr) {
        return std::nullopt;
    }
    GattServiceSpec service{std::move(*uuid), *primary, {}};
    for (const JsonValue& element : *characteristics) {
        const Reader characteristic{element};
        auto characteristicUuid = characteristic.uuid("uuid");
        const std::string* hex = characteristic.string("value");
        auto bytes = hex != nullptr ? fromHex(*hex) : std::nullopt;
        if (!characteristicUuid || !bytes) {
            return std::nullopt;
        }
        service.characteristics.push_back({std::move(*characteristicUuid), std::move(*bytes)});
    }
    return service;
}

std::optional<LocalChannelRecord> readChannel(const JsonValue& value) {
    const Reader reader{value};
    const auto psm = reader.integer("psm");
    const std::string* socket = reader.string("socket");
    if (!psm || *psm <= 0 || *psm > std::numeric_limits<uint16_t>::max() || socket == nullptr) {
        return std::nullopt;
    }
    return LocalChannelRecord{static_cast<uint16_t>(*psm), *socket};
}

std::optional<LocalRecord> readRecord(const JsonValue& root) {
    const Reader reader{root};
    if (reader.integer("format") != recordFormat) {
        return std::nullopt;
    }
    LocalRecord record;
    auto instance = reader.uuid("instance");
    const auto pid = reader.integer("pid");
    const auto start = reader.integer("start");
    const auto advertising = reader.boolean("advertising");
    const std::string* name = reader.string("name");
    const auto* serviceUuids = reader.array("serviceUuids");
    const auto* services = reader.array("services");
    const auto* channels = reader.array("channels");
    if (!instance || !pid || *pid <= 0 || !start || *start < 0 || !advertising || name == nullptr ||
        serviceUuids == nullptr || services == nullptr || channels == nullptr) {
        return std::nullopt;
    }
    record.instanceId = std::move(*instance);
    record.pid = *pid;
    record.processStart = static_cast<uint64_t>(*start);
    record.advertising = *advertising;
    record.advertisement.localName = *name;
    for (const JsonValue& element : *serviceUuids) {
        const std::string* text = element.stringValue();
        auto uuid = text != nullptr ? canonicalUuid(*text) : std::nullopt;
        if (!uuid) {
            return std::nullopt;
        }
        record.advertisement.serviceUuids.push_back(std::move(*uuid));
    }
    for (const JsonValue& element : *services) {
        auto service = readService(element);
        if (!service) {
            return std::nullopt;
        }
        record.services.push_back(std::move(*service));
    }
    for (const JsonValue& element : *channels) {
        auto channel = readChannel(element);
        if (!channel) {
            return std::nullopt;
        }
        record.channels.push_back(std::move(*channel));
    }
    return record;
}

} // namespace

Bytes LocalRecord::toJson() const {
    std::vector<JsonValue> serviceValues;
    for (const auto& service : services) {
        std::vector<JsonValue> characteristicValues;
        for (const auto& characteristic : service.characteristics) {
            characteristicValues.push_back(
                JsonValue::object({{"uuid", JsonValue::string(characteristic.uuid)},
                                   {"value", JsonValue::string(toHex(characteristic.value))}}));
        }
        serviceValues.push_back(JsonValue::object(
            {{"uuid", JsonValue::string(service.uuid)},
             {"primary", JsonValue::boolean(service.primary)},
             {"characteristics", JsonValue::array(std::move(characteristicValues))}}));
    }
    std::vector<JsonValue> channelValues;
    for (const auto& channel : channels) {
        channelValues.push_back(
            JsonValue::object({{"psm", JsonValue::integer(channel.psm)},
                               {"socket", JsonValue::string(channel.socketPath)}}));
    }
    return JsonWriter::data(JsonValue::object({
        {"format", JsonValue::integer(recordFormat)},
        {"instance", JsonValue::string(instanceId)},
        {"pid", JsonValue::integer(pid)},
        {"start", JsonValue::integer(static_cast<int64_t>(processStart))},
        {"advertising", JsonValue::boolean(advertising)},
        {"name", JsonValue::string(advertisement.localName)},
        {"serviceUuids", stringArray(advertisement.serviceUuids)},
        {"services", JsonValue::array(std::move(serviceValues))},
        {"channels", JsonValue::array(std::move(channelValues))},
    }));
}

std::optional<LocalRecord> LocalRecord::fromJson(ByteView bytes) {
    try {
        return readRecord(JsonParser::parse(bytes));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

const LocalChannelRecord* LocalRecord::channel(uint16_t psm) const {
    const auto found = std::find_if(channels.begin(), channels.end(),
                                    [psm](const auto& channel) { return channel.psm == psm; });
    return found != channels.end() ? &*found : nullptr;
}

const GattServiceSpec* LocalRecord::service(std::string_view uuid) const {
    const auto found = std::find_if(services.begin(), services.end(), [uuid](const auto& service) {
        return sameUuid(service.uuid, uuid);
    });
    return found != services.end() ? &*found : nullptr;
}

const GattCharacteristicSpec* LocalRecord::characteristic(std::string_view serviceUuid,
                                                          std::string_view uuid) const {
    const GattServiceSpec* owner = service(serviceUuid);
    if (owner == nullptr) {
        return nullptr;
    }
    const auto found = std::find_if(
        owner->characteristics.begin(), owner->characteristics.end(),
        [uuid](const auto& characteristic) { return sameUuid(characteristic.uuid, uuid); });
    return found != owner->characteristics.end() ? &*found : nullptr;
}

bool LocalRecord::advertises(const std::vector<std::string>& serviceUuids) const {
    if (!advertising) {
        return false;
    }
    if (serviceUuids.empty()) {
        return true;
    }
    return std::any_of(advertisement.serviceUuids.begin(), advertisement.serviceUuids.end(),
                       [&](const std::string& offered) {
                           return std::any_of(serviceUuids.begin(), serviceUuids.end(),
                                              [&](const std::string& wanted) {
                                                  return sameUuid(offered, wanted);
                                              });
                       });
}

} // namespace merriphonic
