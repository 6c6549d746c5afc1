#include "platform/sim/inline_background_work.h"

#include <utility>

#include "platform/sim/sim_run_loop.h"

namespace merriphonic {

InlineBackgroundWork::InlineBackgroundWork(SimRunLoop& main)
    : BackgroundWork(main), simMain_(main) {}

void InlineBackgroundWork::execute(std::string label, Task task) {
    ++executed_;
    lastLabel_ = std::move(label);
    if (task) {
        simMain_.world().runOutsideLoops(task);
    }
}

} // namespace merriphonic
