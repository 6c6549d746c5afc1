#include "platform/qt/thread_name.h"

#include <pthread.h>

#include <array>

#include "platform/log.h"

namespace merriphonic {

namespace {
constexpr size_t maxOsNameLength = 15;
}

std::string osThreadName(std::string_view label) {
    std::string prefix(logSubsystem);
    prefix += '.';
    if (label.size() > prefix.size() && label.starts_with(prefix)) {
        label.remove_prefix(prefix.size());
    }
    return std::string(label.substr(0, maxOsNameLength));
}

void setCurrentThreadName(std::string_view label) {
    // Naming is a diagnostic aid: a refusal changes nothing else.
    (void)pthread_setname_np(pthread_self(), osThreadName(label).c_str());
}

std::string currentThreadName() {
    std::array<char, maxOsNameLength + 1> name{};
    if (pthread_getname_np(pthread_self(), name.data(), name.size()) != 0) {
        return {};
    }
    return name.data();
}

} // namespace merriphonic
