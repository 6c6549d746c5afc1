#include "platform/log.h"

namespace merriphonic {

std::string_view categoryName(LogCategory category) {
    switch (category) {
    case LogCategory::ble:
        return "BLE";
    case LogCategory::sync:
        return "Sync";
    case LogCategory::player:
        return "Player";
    case LogCategory::transfer:
        return "Transfer";
    case LogCategory::app:
        return "App";
    }
    return "App";
}

std::string_view levelName(LogLevel level) {
    switch (level) {
    case LogLevel::debug:
        return "debug";
    case LogLevel::info:
        return "info";
    case LogLevel::error:
        return "error";
    }
    return "info";
}

} // namespace merriphonic
