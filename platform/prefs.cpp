#include "platform/prefs.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

#include "core/uuid.h"

namespace merriphonic {

namespace {

double realOr(const PrefsStore& store, std::string_view key, double fallback) {
    const std::optional<double> value = store.real(key);
    return (value && std::isfinite(*value)) ? *value : fallback;
}

} // namespace

std::optional<std::string> Prefs::name(const PrefsStore& store) {
    return store.text(nameKey);
}

void Prefs::setName(PrefsStore& store, std::string_view name) {
    store.setText(nameKey, name);
}

std::string Prefs::computerName() {
    std::array<char, 256> buffer{};
    if (::gethostname(buffer.data(), buffer.size() - 1) == 0 && buffer[0] != '\0') {
        return buffer.data();
    }
    return "Computer";
}

std::string Prefs::displayName(const PrefsStore& store) {
    return displayName(name(store).value_or(std::string()));
}

std::string Prefs::displayName(std::string_view typed) {
    const auto isSpace = [](char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
    };
    size_t begin = 0;
    size_t end = typed.size();
    while (begin < end && isSpace(typed[begin])) {
        ++begin;
    }
    while (end > begin && isSpace(typed[end - 1])) {
        --end;
    }
    return begin < end ? std::string(typed.substr(begin, end - begin)) : computerName();
}

std::string Prefs::deviceId(PrefsStore& store) {
    if (std::optional<std::string> stored = store.text(deviceIdKey); stored && !stored->empty()) {
        return *stored;
    }
    std::string id = randomUuid();
    std::transform(id.begin(), id.end(), id.begin(), [](char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    });
    store.setText(deviceIdKey, id);
    return id;
}

double Prefs::groupVolume(const PrefsStore& store) {
    return realOr(store, groupVolumeKey, 1.0);
}

void Prefs::setGroupVolume(PrefsStore& store, double volume) {
    store.setReal(groupVolumeKey, volume);
}

double Prefs::localVolume(const PrefsStore& store) {
    return realOr(store, localVolumeKey, 1.0);
}

void Prefs::setLocalVolume(PrefsStore& store, double volume) {
    store.setReal(localVolumeKey, volume);
}

int Prefs::delayMs(const PrefsStore& store) {
    const int64_t stored = store.integer(delayMsKey).value_or(0);
    const IntRange range = SyncProtocol::delayRangeMs;
    return static_cast<int>(std::clamp<int64_t>(stored, range.min, range.max));
}

void Prefs::setDelayMs(PrefsStore& store, int delayMs) {
    store.setInteger(delayMsKey, SyncProtocol::delayRangeMs.clamp(delayMs));
}

} // namespace merriphonic
