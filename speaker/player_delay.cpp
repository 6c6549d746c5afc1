#include "speaker/player_delay.h"

#include <utility>

#include "core/sync_protocol.h"
#include "platform/prefs.h"

namespace merriphonic {

void setPlayerDelayMs(DeviceContext& context, int delayMs, int64_t debounceNs,
                      Published<int>& published, const std::shared_ptr<SyncPlayer>& player,
                      ScopedTimer& debounce, std::function<void()> settled) {
    delayMs = SyncProtocol::delayRangeMs.clamp(delayMs);
    Prefs::setDelayMs(context.prefs, delayMs);
    published = delayMs;
    player->setDelayMs(static_cast<double>(delayMs));
    debounce = context.main.after(
        debounceNs, [weak = std::weak_ptr<SyncPlayer>(player), settled = std::move(settled)] {
            if (const auto player = weak.lock(); player && player->spec) {
                player->schedule("delay changed");
            }
            if (settled) {
                settled();
            }
        });
}

} // namespace merriphonic
