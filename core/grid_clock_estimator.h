#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace merriphonic {

// A finer estimate of the host clock minus the local clock than the minimum-round-trip sample,
// for links that move data only in connection events (Bluetooth LE).
//
// Every frame crosses the air in one of the link's connection events, one every interval, and
// reaches the receiving app a stack latency later. So PINGs reach the host at times that sit
// just after the event grid as the host's clock sees it, and PONGs reach this device just after
// the same grid as its own clock sees it, whatever they waited for. Fitting a line under each
// (the lower envelope: the frames whose stack was quickest) gives the grid in both clocks; the
// two lines differ by the offset, modulo the interval, and their slopes take up the clocks'
// skew. Which multiple: a PONG leaves at the earliest in the event after its PING's, and on a
// quiet link it does, so the smallest gap in event numbers over the exchanges is that one event.
// Queueing in the host (a PONG behind song chunks) moves a PONG to a later event but not off
// the grid, so it does not bias this estimate.
//
// The interval is not known to the application: it is found among the values the link layer
// allows (multiples of 1.25 ms), as the longest one on whose grid the arrivals line up.
// A plain value; used from one thread.
class GridClockEstimator {
public:
    // The interval values tried, in ns: 7.5 ms to 100 ms in steps of 1.25 ms.
    static constexpr int64_t intervalStepNs = 1'250'000;
    static constexpr int64_t minIntervalNs = 7'500'000;
    static constexpr int64_t maxIntervalNs = 100'000'000;
    // The most the two clocks may drift apart, as a fraction: more than any crystal does.
    static constexpr double maxSkew = 500e-6;
    // Arrivals spread more than this above their grid line do not show a grid.
    static constexpr int64_t maxSpreadNs = 8'000'000;
    // How much the stack latencies may differ between two frames.
    static constexpr int64_t stackSpreadNs = 3'000'000;
    // How far the clocks' skew may be off what the grids' slopes show, per ns of age.
    static constexpr double skewMarginPerNs = 20e-6;
    // How much looser than the tightest grid the link's may look (estimation noise).
    static constexpr int64_t spreadToleranceNs = stackSpreadNs;
    // Fewer quiet exchanges than this give no estimate.
    static constexpr size_t minExchanges = 12;

    struct Exchange {
        int64_t t1 = 0; // PING left here (local clock)
        int64_t t2 = 0; // PING reached the host (host clock)
        int64_t t3 = 0; // PONG left the host (host clock)
        int64_t t4 = 0; // PONG reached here (local clock)
        // Whether the host had nothing else in flight towards this device: a PONG behind song
        // chunks rides later in its event, above the grid, by a number of packets.
        bool quiet = true;
        bool operator==(const Exchange&) const = default;
    };

    // What the estimate found: the offset at the asked local time and the grid it used.
    struct Estimate {
        int64_t offsetNs = 0;
        int64_t intervalNs = 0;
        // How far above its grid line the arrivals spread (the stack latencies' spread).
        int64_t spreadNs = 0;
        bool operator==(const Estimate&) const = default;
    };

    explicit GridClockEstimator(int64_t windowNs) : windowNs_(windowNs) {}

    // Both fit the grids again when the exchanges change.
    void add(const Exchange& exchange);
    // Forgets exchanges whose PONG arrived more than the window before nowLocalNs.
    void prune(int64_t nowLocalNs);
    void reset() {
        exchanges_.clear();
        fit_.reset();
        history_.clear();
    }

    // The offset at local time atLocalNs; nothing before the arrivals have shown a grid. The
    // grids give the offset where this device's quiet PONGs lie; from there it moves with the
    // clocks' skew. While a window shows no grid (a long transfer leaves no quiet PONG), the
    // last one found goes on for up to holdNs.
    [[nodiscard]] std::optional<Estimate> estimate(int64_t atLocalNs) const;
    static constexpr int64_t holdNs = 120'000'000'000;
    // Quiet PONGs needed for the grid in local time.
    static constexpr size_t minQuietPongs = 4;
    // The skew is taken from offsets found this far apart at least (a long baseline), over
    // the last historyNs; until there are such, from the grids' slopes.
    static constexpr int64_t skewBaselineNs = 20'000'000'000;
    static constexpr int64_t historyNs = 300'000'000'000;
    // The local grid lies under the quiet PONGs of this last stretch.
    static constexpr int64_t recentPongsNs = 20'000'000'000;
    // …and while the skew is not known yet, of this one.
    static constexpr int64_t unknownSkewPongsNs = 4'000'000'000;

    [[nodiscard]] const std::vector<Exchange>& exchanges() const { return exchanges_; }
    // The skew estimate in use (host clock rate over this clock's, minus one).
    [[nodiscard]] std::optional<double> skew() const;

    // A line time = origin + slope × n through event numbers n.
    struct Grid {
        double originNs = 0;
        double slopeNs = 0; // the interval in this clock's nanoseconds
        double spreadNs = 0;
    };
    // The grid under arrival times (ascending) for a nominal interval; nothing when the times
    // do not line up on it (with checkSpread, also when most lie far above it).
    static std::optional<Grid> fitGrid(const std::vector<int64_t>& arrivals, int64_t intervalNs,
                                       bool checkSpread = true);

private:
    // A grid fit: the offset at one local time (where the quiet PONGs lie, so that errors in
    // the two lines' slopes hardly matter there) and the skew the slopes showed.
    struct Fit {
        int64_t atLocalNs = 0;
        Estimate estimate;
        double gridSkew = 0;
    };
    void refit();
    [[nodiscard]] std::optional<Fit> fitNow() const;
    [[nodiscard]] std::optional<double> historySkew() const;
    // The quiet PONG arrivals (ascending) of the last spanNs, at least minQuietPongs.
    static std::vector<int64_t> recentQuietPongs(const std::vector<int64_t>& sorted,
                                                 int64_t spanNs);
    // The grid of that slope under arrival times (ascending).
    static std::optional<Grid> gridUnder(const std::vector<int64_t>& arrivals, double slopeNs);

    int64_t windowNs_;
    std::vector<Exchange> exchanges_; // in arrival order of the PONGs
    std::optional<Fit> fit_;
    // Offsets found, at least a second apart: the long baseline for the skew.
    struct Found {
        int64_t atLocalNs = 0;
        int64_t offsetNs = 0;
    };
    std::vector<Found> history_;
};

} // namespace merriphonic
