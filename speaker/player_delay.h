#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/device_context.h"
#include "platform/published.h"
#include "platform/run_loop.h"
#include "speaker/sync_player.h"

namespace merriphonic {

// The user's delay for a device's own player, as the host and speaker sessions both take it:
// clamped to the allowed range, kept in the preferences, published, and given to the player at
// once. The player's start is planned again once no other change has come for debounceNs (a
// slider sends many), and then `settled` runs; each change restarts the wait.
void setPlayerDelayMs(DeviceContext& context, int delayMs, int64_t debounceNs,
                      Published<int>& published, const std::shared_ptr<SyncPlayer>& player,
                      ScopedTimer& debounce, std::function<void()> settled = {});

} // namespace merriphonic
