#include "platform/radio.h"

namespace merriphonic {

std::string_view radioStateName(RadioState state) {
    switch (state) {
    case RadioState::resetting:
        return "resetting";
    case RadioState::unsupported:
        return "unsupported";
    case RadioState::unauthorized:
        return "unauthorized";
    case RadioState::poweredOff:
        return "off";
    case RadioState::poweredOn:
        return "on";
    case RadioState::unknown:
        break;
    }
    return "unknown";
}

} // namespace merriphonic
