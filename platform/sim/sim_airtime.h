#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "platform/sim/sim_radio_model.h"

namespace merriphonic {

// The airtime of simulated Bluetooth LE radios: when the PDUs of an L2CAP SDU go out.
//
// A link exchanges packets only in its connection events, one per connection interval at its
// own offset, at most maxPdusPerEvent per event; the event lasts while data is queued. Every
// exchange also takes airtime from both radios of the link, each of which has
// radioPdusPerInterval per interval for all its links together. A radio that more links want
// than it can serve splits each interval evenly among the links active in it (as a
// controller's round-robin scheduler does); SDUs are otherwise placed first come, first served.
//
// An exchange is lost with the model's pduLossRatio: its PDU goes again in the next exchange,
// and two lost in a row end the event (the rest waits for the next one). A lost exchange
// closes the event for the SDU that lost it only; SDUs placed before keep their exchanges.
class SimAirtime {
public:
    // uniform draws from [0, 1) for the losses; without it no exchange is lost.
    explicit SimAirtime(const SimRadioModel& model, std::function<double()> uniform = {})
        : model_(model), uniform_(std::move(uniform)) {}

    // A radio's ledger; returns its number.
    int addRadio();
    // A link between two radios whose connection events start offsetNs into every interval.
    int addLink(int radioA, int radioB, int64_t offsetNs);

    // Places an SDU of this many bytes that is ready to go at readyNs in one direction of the
    // link (0: from the first radio, 1: from the second); returns the instant its last PDU has
    // been received. Every exchange of an event carries one PDU each way, so the two directions
    // do not queue behind each other. Calls must come in order of readyNs (the order of time).
    int64_t transmit(int link, int64_t readyNs, size_t bytes, int direction = 0);

    [[nodiscard]] const SimRadioModel& model() const { return model_; }

private:
    // PDUs used per interval number.
    using Ledger = std::map<int64_t, int>;

    struct Radio {
        Ledger used;
        std::map<int64_t, std::set<int>> users; // the links that wanted each interval
    };

    struct Link {
        int radioA = 0;
        int radioB = 0;
        int64_t offsetNs = 0;
        std::array<Ledger, 2> used; // PDUs per interval, each direction
    };
    // Exchanges a link's event holds so far.
    static int exchangesIn(const Link& link, int64_t interval);

    static int usedIn(const Ledger& ledger, int64_t interval);
    // The PDUs of an interval a link may have from a radio: all of them, or its even share when
    // other links have been active on it in the last intervals up to `now`.
    [[nodiscard]] int shareOf(const Radio& radio, int64_t now, int64_t interval, int link) const;
    void forget(int64_t beforeInterval);

    // Of `slots` exchanges from the start of an event's, how many carry PDUs through and how
    // many the event still has after losses (two lost in a row end it).
    struct Delivery {
        int delivered = 0;
        int used = 0;
    };
    Delivery deliver(int slots, int wanted);

    SimRadioModel model_;
    std::function<double()> uniform_;
    std::vector<Radio> radios_;
    std::vector<Link> links_;
    int64_t forgottenBefore_ = 0;
};

} // namespace merriphonic
