#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "platform/run_loop.h"

namespace merriphonic {

// Runs work off the main loop and hands its result back on the main loop.
class BackgroundWork {
public:
    explicit BackgroundWork(RunLoop& main) : main_(main) {}
    virtual ~BackgroundWork() = default;
    BackgroundWork(const BackgroundWork&) = delete;
    BackgroundWork& operator=(const BackgroundWork&) = delete;

    // Runs the task on a worker; the label names the worker for diagnostics.
    virtual void execute(std::string label, Task task) = 0;

    // Runs work on a worker, then done(result) on the main loop.
    template <typename Work, typename Done>
    void run(std::string label, Work work, Done done) {
        RunLoop* main = &main_;
        Task task = [main, work = std::move(work), done = std::move(done)]() mutable {
            auto result = std::make_shared<decltype(work())>(work());
            main->post([done = std::move(done), result]() mutable { done(std::move(*result)); });
        };
        execute(std::move(label), std::move(task));
    }

    [[nodiscard]] RunLoop& mainLoop() const { return main_; }

private:
    RunLoop& main_;
};

} // namespace merriphonic
