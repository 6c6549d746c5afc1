#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/sync_protocol.h"
#include "platform/prefs_store.h"

namespace merriphonic {

// The app's persisted preferences: their keys, types, defaults and ranges over the device's
// store. Both roles read and write them through here.
struct Prefs {
    static constexpr std::string_view nameKey = "name";
    static constexpr std::string_view deviceIdKey = "deviceId";
    static constexpr std::string_view groupVolumeKey = "groupVolume";
    static constexpr std::string_view localVolumeKey = "localVolume";
    static constexpr std::string_view delayMsKey = "delayMs";

    // The device name as the user typed it; absent when never set.
    static std::optional<std::string> name(const PrefsStore& store);
    static void setName(PrefsStore& store, std::string_view name);
    // The computer's own name (its host name), or "Computer" when the system gives none.
    static std::string computerName();
    // The stored name trimmed of white space, or the computer's name when that leaves nothing.
    static std::string displayName(const PrefsStore& store);
    // The same rule for a name as typed.
    static std::string displayName(std::string_view typed);
    // This installation's identifier: a random lower-case UUID made and stored on first read.
    static std::string deviceId(PrefsStore& store);
    // 1.0 when absent or not a number; the stored value as it is otherwise.
    static double groupVolume(const PrefsStore& store);
    static void setGroupVolume(PrefsStore& store, double volume);
    static double localVolume(const PrefsStore& store);
    static void setLocalVolume(PrefsStore& store, double volume);
    // 0 when absent; what the store holds otherwise, clamped to the delay range.
    static int delayMs(const PrefsStore& store);
    // Stores the delay clamped to the delay range.
    static void setDelayMs(PrefsStore& store, int delayMs);
};

} // namespace merriphonic
