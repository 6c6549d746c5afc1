#pragma once

#include <string>

namespace merriphonic {

// A fresh random (version 4) UUID in its canonical upper-case text form,
// e.g. "1B4E28BA-2FA1-41D2-883F-0016D3CCA427". Safe from any thread.
std::string randomUuid();

} // namespace merriphonic
