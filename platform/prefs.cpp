#include "platform/prefs.h"

#include <algorithm>
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
