#include "platform/local/local_manager_core.h"

#include "core/uuid.h"
#include "platform/qt/stream_thread.h"

namespace merriphonic {

LocalManagerCore::LocalManagerCore(const LocalRadioOptions& options)
    : streams_(options.streams != nullptr ? *options.streams : StreamThread::shared()),
      log_(options.log), instanceId_(randomUuid()) {
    Result<LocalRendezvous, std::string> opened = LocalRendezvous::open(options.folder);
    if (opened) {
        rendezvous_ = std::move(opened).value();
        state_ = RadioState::poweredOn;
    } else {
        unavailableReason_ = opened.error();
        log_.error(LogCategory::ble, "local radio: rendezvous folder unusable: {}",
                   unavailableReason_);
    }
}

std::string LocalManagerCore::unavailableText() const {
    return "the local radio is unavailable: " + unavailableReason_;
}

} // namespace merriphonic
