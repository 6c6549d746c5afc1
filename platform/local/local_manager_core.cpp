#include "platform/local/local_manager_core.h"

#include "core/uuid.h"
#include "platform/qt/stream_thread.h"

namespace merriphonic {

LocalManagerCore::LocalManagerCore(const LocalRadioOptions& options)
    : streams_(options.streams != nullptr ? *options.streams : StreamThread::shared()),
      log_(options.log), instanceId_(randomUuid()) {
    rendezvous_ = LocalRendezvous::open(options.folder, unavailableReason_);
    if (rendezvous_) {
        state_ = RadioState::poweredOn;
    } else {
        log_.error(LogCategory::ble, "local radio: rendezvous folder unusable: {}",
                   unavailableReason_);
    }
}

std::string LocalManagerCore::unavailableText() const {
    return "the local radio is unavailable: " + unavailableReason_;
}

} // namespace merriphonic
