#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace merriphonic {

// A fresh random (version 4) UUID in canonical upper-case form. Identifies one radio manager
// (a host's record, a speaker's channels) for as long as it lives.
std::string localRandomUuid();

// The UUID in canonical upper-case form (8-4-4-4-12 hex digits, either case accepted); nothing
// for anything else.
std::optional<std::string> canonicalUuid(std::string_view text);

// Whether two UUID texts name the same UUID, ignoring case.
bool sameUuid(std::string_view a, std::string_view b);

} // namespace merriphonic
