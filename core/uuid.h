#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace merriphonic {

// A fresh random (version 4) UUID in its canonical upper-case text form,
// e.g. "1B4E28BA-2FA1-41D2-883F-0016D3CCA427". Safe from any thread.
std::string randomUuid();

// The canonical upper-case form of a UUID text (8-4-4-4-12 hexadecimal digits, either case);
// nothing for anything else.
std::optional<std::string> canonicalUuid(std::string_view text);

// Whether two UUID texts are the same apart from the case of their letters.
bool sameUuid(std::string_view a, std::string_view b);

} // namespace merriphonic
