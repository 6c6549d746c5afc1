#include "core/grid_clock_estimator.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <tuple>
#include <utility>

#include "core/wrapping.h"

namespace merriphonic {

namespace {

struct Point {
    double x = 0; // event number
    double y = 0; // arrival minus event number × nominal interval, from the first arrival
};

// The line under all points that lies closest to them on average: the edge of their lower
// convex hull that spans the mean event number. Points are sorted by x.
std::pair<double, double> lowerEnvelope(const std::vector<Point>& points) {
    std::vector<Point> hull;
    for (const Point& p : points) {
        if (!hull.empty() && hull.back().x == p.x) {
            if (p.y >= hull.back().y) {
                continue;
            }
            hull.pop_back();
        }
        while (hull.size() >= 2) {
            const Point& a = hull[hull.size() - 2];
            const Point& b = hull.back();
            // Drop b when it lies on or above the segment from a to p.
            if ((b.y - a.y) * (p.x - a.x) >= (p.y - a.y) * (b.x - a.x)) {
                hull.pop_back();
            } else {
                break;
            }
        }
        hull.push_back(p);
    }
    if (hull.size() == 1) {
        return {hull.front().y, 0.0};
    }
    double meanX = 0;
    for (const Point& p : points) {
        meanX += p.x;
    }
    meanX /= static_cast<double>(points.size());
    size_t edge = 0;
    while (edge + 2 < hull.size() && hull[edge + 1].x < meanX) {
        ++edge;
    }
    const Point& a = hull[edge];
    const Point& b = hull[edge + 1];
    const double slope = (b.y - a.y) / (b.x - a.x);
    return {a.y - slope * a.x, slope};
}

} // namespace

void GridClockEstimator::add(const Exchange& exchange) {
    exchanges_.push_back(exchange);
    refit();
}

void GridClockEstimator::prune(int64_t nowLocalNs) {
    const size_t before = exchanges_.size();
    std::erase_if(exchanges_,
                  [&](const Exchange& e) { return wrappingSub(nowLocalNs, e.t4) > windowNs_; });
    if (exchanges_.size() != before) {
        refit();
    }
}

void GridClockEstimator::refit() {
    const std::optional<Fit> fit = fitNow();
    if (!fit) {
        return; // the last fit goes on
    }
    fit_ = fit;
    // The causality bounds narrow as exchanges come in and may rule out the event an early fit
    // chose for the PONGs: a fit a large part of an interval away from the one before chose
    // another event, and the offsets found before it would bend the skew for minutes.
    if (!history_.empty()) {
        const Found& last = history_.back();
        const int64_t age = std::abs(wrappingSub(fit->atLocalNs, last.atLocalNs));
        const double jump = std::abs(static_cast<double>(fit->estimate.offsetNs - last.offsetNs));
        const double allowed =
            static_cast<double>(std::max(fit->estimate.intervalNs / 4, stackSpreadNs)) +
            maxSkew * static_cast<double>(age);
        if (jump > allowed) {
            history_.clear();
        }
    }
    if (history_.empty() ||
        wrappingSub(fit->atLocalNs, history_.back().atLocalNs) >= 1'000'000'000) {
        history_.push_back({fit->atLocalNs, fit->estimate.offsetNs});
    } else {
        history_.back() = {fit->atLocalNs, fit->estimate.offsetNs};
    }
    std::erase_if(history_, [&](const Found& p) {
        return wrappingSub(fit->atLocalNs, p.atLocalNs) > historyNs;
    });
}

std::optional<double> GridClockEstimator::skew() const {
    if (!fit_) {
        return std::nullopt;
    }
    return historySkew().value_or(fit_->gridSkew);
}

std::optional<double> GridClockEstimator::historySkew() const {
    // The median of the slopes between offsets found far enough apart; one fit that chose the
    // wrong event (off by an interval) does not move it.
    std::vector<double> slopes;
    for (size_t i = 0; i < history_.size(); ++i) {
        for (size_t j = i + 1; j < history_.size(); ++j) {
            const int64_t span = wrappingSub(history_[j].atLocalNs, history_[i].atLocalNs);
            if (span >= skewBaselineNs) {
                slopes.push_back(static_cast<double>(history_[j].offsetNs - history_[i].offsetNs) /
                                 static_cast<double>(span));
            }
        }
    }
    if (slopes.size() < 3) {
        return std::nullopt;
    }
    const auto middle = slopes.begin() + static_cast<std::ptrdiff_t>(slopes.size() / 2);
    std::nth_element(slopes.begin(), middle, slopes.end());
    return std::clamp(*middle, -maxSkew, maxSkew);
}

std::vector<int64_t> GridClockEstimator::recentQuietPongs(const std::vector<int64_t>& sorted,
                                                          int64_t spanNs) {
    size_t from = sorted.size();
    while (from > 0 && (sorted.size() - from < minQuietPongs ||
                        wrappingSub(sorted.back(), sorted[from - 1]) <= spanNs)) {
        --from;
    }
    return {sorted.begin() + static_cast<std::ptrdiff_t>(from), sorted.end()};
}

std::optional<GridClockEstimator::Grid>
GridClockEstimator::gridUnder(const std::vector<int64_t>& arrivals, double slopeNs) {
    if (arrivals.empty() || !(slopeNs > 0)) {
        return std::nullopt;
    }
    std::vector<double> heights;
    heights.reserve(arrivals.size());
    double n = 0;
    for (size_t i = 0; i < arrivals.size(); ++i) {
        if (i > 0) {
            n += std::round(static_cast<double>(wrappingSub(arrivals[i], arrivals[i - 1])) /
                            slopeNs);
        }
        heights.push_back(static_cast<double>(wrappingSub(arrivals[i], arrivals.front())) -
                          n * slopeNs);
    }
    // Heights are known modulo the slope: fold them around the lowest, so that one arrival
    // rounded into the neighbouring event does not pull the line a whole interval down.
    const double lowest = *std::min_element(heights.begin(), heights.end());
    for (double& h : heights) {
        h = lowest + std::fmod(h - lowest, slopeNs);
    }
    std::sort(heights.begin(), heights.end());
    const double origin = heights.front();
    const double spread = heights[(heights.size() * 9) / 10] - origin;
    return Grid{static_cast<double>(arrivals.front()) + origin, slopeNs, spread};
}

std::optional<GridClockEstimator::Estimate> GridClockEstimator::estimate(int64_t atLocalNs) const {
    if (!fit_) {
        return std::nullopt;
    }
    const int64_t age = wrappingSub(atLocalNs, fit_->atLocalNs);
    if (age > holdNs) {
        return std::nullopt;
    }
    Estimate moved = fit_->estimate;
    moved.offsetNs += std::llround(skew().value_or(0.0) * static_cast<double>(age));
    return moved;
}

std::optional<GridClockEstimator::Grid>
GridClockEstimator::fitGrid(const std::vector<int64_t>& arrivals, int64_t intervalNs,
                            bool checkSpread) {
    if (arrivals.size() < 2) {
        return std::nullopt;
    }
    const auto interval = static_cast<double>(intervalNs);
    std::vector<Point> points;
    points.reserve(arrivals.size());
    double n = 0;
    for (size_t i = 0; i < arrivals.size(); ++i) {
        if (i > 0) {
            // Consecutive arrivals are close, so the clocks' skew cannot turn a step into the
            // wrong number of intervals.
            n += std::round(static_cast<double>(wrappingSub(arrivals[i], arrivals[i - 1])) /
                            interval);
        }
        points.push_back(
            {n, static_cast<double>(wrappingSub(arrivals[i], arrivals.front())) - n * interval});
    }
    auto [origin, correction] = lowerEnvelope(points);
    // The slope may only take up the clocks' skew, and over a short stretch what the stacks'
    // spread can tilt it by: more means the arrivals keep to another grid.
    const auto allowed = [&] {
        const double events = std::max(1.0, points.back().x - points.front().x);
        return maxSkew * interval + static_cast<double>(stackSpreadNs) / events;
    };
    if (std::abs(correction) > allowed()) {
        return std::nullopt;
    }
    // Numbered again by the event at or before each arrival on that line: an arrival late in
    // a busy event (behind other data) then counts for its own event, above the line, instead
    // of for the next one, far below it.
    for (size_t i = 0; i < points.size(); ++i) {
        const auto t = static_cast<double>(wrappingSub(arrivals[i], arrivals.front()));
        const double event = std::floor((t - origin) / (interval + correction) + 0.25);
        points[i] = {event, t - event * interval};
    }
    std::tie(origin, correction) = lowerEnvelope(points);
    if (std::abs(correction) > allowed()) {
        return std::nullopt;
    }
    std::vector<double> residuals;
    residuals.reserve(points.size());
    for (const Point& p : points) {
        residuals.push_back(p.y - (origin + correction * p.x));
    }
    // How far most arrivals lie above the grid; a few late ones (behind other data in a busy
    // event, or queued for later events) do not count.
    std::sort(residuals.begin(), residuals.end());
    const double spread = residuals[(residuals.size() * 9) / 10];
    if (checkSpread && spread > std::min(0.4 * interval, static_cast<double>(maxSpreadNs))) {
        return std::nullopt;
    }
    return Grid{static_cast<double>(arrivals.front()) + origin, interval + correction, spread};
}

std::optional<GridClockEstimator::Fit> GridClockEstimator::fitNow() const {
    if (exchanges_.size() < minExchanges) {
        return std::nullopt;
    }
    std::vector<int64_t> pingArrivals;
    std::vector<int64_t> pongArrivals;
    std::vector<Exchange> quiet;
    // Only quiet exchanges show the grid: while the host sends song chunks its events last
    // long, and a PING may then join one midway instead of opening the next.
    for (const Exchange& e : exchanges_) {
        if (e.quiet) {
            pingArrivals.push_back(e.t2);
            pongArrivals.push_back(e.t4);
            quiet.push_back(e);
        }
    }
    if (quiet.size() < minExchanges) {
        return std::nullopt;
    }
    std::sort(pingArrivals.begin(), pingArrivals.end());
    std::sort(pongArrivals.begin(), pongArrivals.end());
    // The PINGs travel a direction that carries little else, so their arrivals show the grid
    // best. They also line up on fractions of the interval, and roughly on the sender's own
    // timer; the link's grid is the longest on which they line up about as tightly as on any.
    std::vector<std::pair<int64_t, Grid>> fits;
    double tightest = std::numeric_limits<double>::infinity();
    // A link keeps its interval: once found, it stays while the arrivals still line up on it,
    // so that a few late arrivals cannot make a fraction of it look tighter.
    if (fit_) {
        if (const std::optional<Grid> host = fitGrid(pingArrivals, fit_->estimate.intervalNs)) {
            fits.emplace_back(fit_->estimate.intervalNs, *host);
            tightest = host->spreadNs;
        }
    }
    const bool kept = !fits.empty();
    for (int64_t interval = minIntervalNs; !kept && interval <= maxIntervalNs;
         interval += intervalStepNs) {
        if (const std::optional<Grid> host = fitGrid(pingArrivals, interval)) {
            fits.emplace_back(interval, *host);
            tightest = std::min(tightest, host->spreadNs);
        }
    }
    std::reverse(fits.begin(), fits.end()); // longest first
    for (const auto& [interval, host] : fits) {
        if (host.spreadNs > tightest + static_cast<double>(spreadToleranceNs)) {
            continue;
        }
        // The PONGs share their direction with song chunks and may arrive late in busy events,
        // and the quiet ones may all be recent (after a transfer): their grid takes its slope
        // from the host's and the skew, and lies under the quickest of the latest of them.
        // Until offsets found far apart show the skew, it is taken as none and the local grid
        // lies under the last few PONGs only, where no skew moves it far.
        const std::optional<double> found = historySkew();
        const double skew = found.value_or(0.0);
        // The skew is known the better the longer the offsets found span: the stretch of
        // PONGs grows with it, up to recentPongsNs.
        const int64_t known =
            found && history_.size() >= 2
                ? wrappingSub(history_.back().atLocalNs, history_.front().atLocalNs) / 5
                : 0;
        const std::vector<int64_t> recent =
            recentQuietPongs(pongArrivals, std::clamp(known, unknownSkewPongsNs, recentPongsNs));
        const std::optional<Grid> local = gridUnder(recent, host.slopeNs / (1.0 + skew));
        if (!local) {
            return std::nullopt;
        }
        // The offset where the local grid is known exactly, at the PONG it lies under (so that
        // the skew, which it took the slope from, does not enter): the event there (as a
        // fractional number on the local grid) and the host's time of the same-numbered event,
        // up to whole intervals, since the two grids number the events from different starts.
        const auto above = [&](int64_t t) {
            const double x = static_cast<double>(wrappingSub(t, recent.front())) -
                             (local->originNs - static_cast<double>(recent.front()));
            return x - std::floor(x / local->slopeNs + 0.5) * local->slopeNs;
        };
        const int64_t atLocalNs =
            *std::min_element(recent.begin(), recent.end(), [&](int64_t a, int64_t b) {
                return std::abs(above(a)) < std::abs(above(b));
            });
        const double n = (static_cast<double>(atLocalNs) - local->originNs) / local->slopeNs;
        const double base = host.originNs + n * host.slopeNs - static_cast<double>(atLocalNs);
        // Causality bounds the offset: no PING arrived before it was sent, no PONG before it
        // left. The skew tells how the offset moved since each exchange.
        double lower = -std::numeric_limits<double>::infinity();
        double upper = std::numeric_limits<double>::infinity();
        for (const Exchange& e : exchanges_) {
            const auto age = static_cast<double>(wrappingSub(atLocalNs, e.t4));
            const double moved = skew * age;
            const double margin = skewMarginPerNs * std::abs(age);
            lower = std::max(lower, static_cast<double>(wrappingSub(e.t3, e.t4)) + moved - margin);
            upper = std::min(upper, static_cast<double>(wrappingSub(e.t2, e.t1)) + moved + margin);
        }
        // A PONG leaves at the earliest in the event after its PING's when the PING's event has
        // ended, as it has on a quiet link: the smallest difference of event numbers is then
        // one. Where the bounds leave a choice, that rule makes it.
        const auto eventOf = [](const Grid& grid, int64_t arrivalNs) {
            return std::floor((static_cast<double>(arrivalNs) - grid.originNs) / grid.slopeNs +
                              0.5 * (1.0 - grid.spreadNs / grid.slopeNs));
        };
        double start = std::numeric_limits<double>::infinity();
        for (const Exchange& e : quiet) {
            start = std::min(start, eventOf(*local, e.t4) - eventOf(host, e.t2) - 1.0);
        }
        const double ruled = base - start * host.slopeNs;
        std::optional<double> chosen;
        if (ruled >= lower && ruled <= upper) {
            chosen = ruled;
        } else if (std::isfinite(lower) && std::isfinite(upper) && lower <= upper) {
            // On a grid that breaks causality there is nothing to choose (on a link without
            // events, the sender's own timer can line arrivals up).
            const double middle = 0.5 * (lower + upper);
            const double nearest = base + std::round((middle - base) / host.slopeNs) * host.slopeNs;
            if (nearest >= lower && nearest <= upper) {
                chosen = nearest;
            }
        }
        if (!chosen) {
            return std::nullopt;
        }
        const double offset = *chosen;
        const Estimate result{static_cast<int64_t>(std::llround(offset)), interval,
                              static_cast<int64_t>(std::max(host.spreadNs, local->spreadNs))};
        return Fit{atLocalNs, result, skew};
    }
    return std::nullopt;
}

} // namespace merriphonic
