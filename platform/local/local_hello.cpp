#include "platform/local/local_hello.h"

#include "core/uuid.h"

namespace merriphonic {

std::string LocalHello::line(const std::string& centralId) {
    return std::string(prefix) + centralId + "\n";
}

std::optional<std::string> LocalHello::parse(std::string_view line) {
    if (!line.starts_with(prefix)) {
        return std::nullopt;
    }
    return canonicalUuid(line.substr(prefix.size()));
}

} // namespace merriphonic
