#pragma once

#include <cstdint>
#include <string>

#include "platform/background_work.h"

namespace merriphonic {

class SimRunLoop;

// Background work for simulated devices: the task runs at once, on the calling code path and
// in zero virtual time, so results are deterministic; BackgroundWork::run then hands the result
// to the main loop as an ordinary posted event. While the task runs no loop is current, as on a
// worker thread.
class InlineBackgroundWork final : public BackgroundWork {
public:
    explicit InlineBackgroundWork(SimRunLoop& main);

    void execute(std::string label, Task task) override;

    [[nodiscard]] uint64_t executedCount() const { return executed_; }
    [[nodiscard]] const std::string& lastLabel() const { return lastLabel_; }

private:
    SimRunLoop& simMain_;
    uint64_t executed_ = 0;
    std::string lastLabel_;
};

} // namespace merriphonic
