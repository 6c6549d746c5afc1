#pragma once

#include <variant>

namespace merriphonic {

// Turns a measured output timing error (ms, positive = output ahead) into a playback-rate trim,
// or into a demand to re-schedule when the error is too large to trim away. A proportional term
// corrects the error; an integral term learns the steady crystal drift between the output and
// the group clock.
struct DriftController {
    // Play at this factor of the nominal rate.
    struct Rate {
        double factor = 1.0;
        bool operator==(const Rate&) const = default;
    };
    // Re-schedule playback from a fresh start plan.
    struct Resync {
        bool operator==(const Resync&) const = default;
    };
    using Action = std::variant<Rate, Resync>;

    DriftController(double deadbandMs, double hardResyncMs, double maxTrim, double gainPerMs,
                    double integralPerMs);

    // The synchronised player's tuning: at most 0.3 % trim, re-schedule beyond 40 ms.
    static DriftController forPlayer();

    // The correction for an error, without learning from it. Errors within the dead band
    // leave the rate nominal.
    Action action(double errorMs) const;
    // The player's per-measurement call: learns from every usable error (no dead band).
    Action update(double errorMs);
    void reset() { integral = 0.0; }

    double deadbandMs;
    double hardResyncMs;
    double maxTrim;
    double gainPerMs;
    double integralPerMs;
    double integral = 0.0;

    bool operator==(const DriftController&) const = default;
};

} // namespace merriphonic
