#include "platform/sim/sim_airtime.h"

#include <algorithm>
#include <iterator>

namespace merriphonic {

int SimAirtime::addRadio() {
    radios_.emplace_back();
    return static_cast<int>(radios_.size()) - 1;
}

int SimAirtime::addLink(int radioA, int radioB, int64_t offsetNs) {
    const int64_t interval = model_.connectionIntervalNs;
    links_.push_back(Link{radioA, radioB, ((offsetNs % interval) + interval) % interval, {}});
    return static_cast<int>(links_.size()) - 1;
}

int SimAirtime::exchangesIn(const Link& link, int64_t interval) {
    return std::max(usedIn(link.used[0], interval), usedIn(link.used[1], interval));
}

int SimAirtime::usedIn(const Ledger& ledger, int64_t interval) {
    const auto found = ledger.find(interval);
    return found == ledger.end() ? 0 : found->second;
}

void SimAirtime::forget(int64_t beforeInterval) {
    if (beforeInterval <= forgottenBefore_ + 16) {
        return; // prune now and then, not on every SDU
    }
    forgottenBefore_ = beforeInterval;
    const auto prune = [beforeInterval](auto& ledger) {
        ledger.erase(ledger.begin(), ledger.lower_bound(beforeInterval));
    };
    for (Radio& radio : radios_) {
        prune(radio.used);
        prune(radio.users);
    }
    for (Link& link : links_) {
        prune(link.used[0]);
        prune(link.used[1]);
    }
}

int SimAirtime::shareOf(const Radio& radio, int64_t now, int64_t interval, int link) const {
    // Who is active is judged by the intervals up to now, which every link has had its turn
    // at; later ones are only partly booked yet.
    std::set<int> active{link};
    for (auto it = radio.users.lower_bound(now - 2); it != radio.users.upper_bound(now); ++it) {
        active.insert(it->second.begin(), it->second.end());
    }
    // The PDUs that do not divide evenly go to different links in turn.
    const auto links = static_cast<int64_t>(active.size());
    const int64_t capacity = model_.radioPdusPerInterval();
    const auto position = static_cast<int64_t>(std::distance(active.begin(), active.find(link)));
    const int64_t turn = ((position + interval) % links + links) % links;
    return static_cast<int>(capacity / links + (turn < capacity % links ? 1 : 0));
}

SimAirtime::Delivery SimAirtime::deliver(int slots, int wanted) {
    if (!uniform_ || model_.pduLossRatio <= 0.0) {
        const int count = std::max(0, std::min(slots, wanted));
        return {count, count};
    }
    Delivery result;
    int lostInARow = 0;
    while (result.delivered < wanted && result.used < slots && lostInARow < 2) {
        ++result.used;
        if (uniform_() < model_.pduLossRatio) {
            ++lostInARow;
        } else {
            lostInARow = 0;
            ++result.delivered;
        }
    }
    return result;
}

int64_t SimAirtime::transmit(int linkNumber, int64_t readyNs, size_t bytes, int direction) {
    Link& link = links_.at(static_cast<size_t>(linkNumber));
    Radio& radioA = radios_.at(static_cast<size_t>(link.radioA));
    Radio& radioB = radios_.at(static_cast<size_t>(link.radioB));
    Ledger& own = link.used.at(static_cast<size_t>(direction));
    const int64_t interval = model_.connectionIntervalNs;
    const int64_t pdu = model_.pduAirtimeNs;
    const int radioCapacity = model_.radioPdusPerInterval();

    // The link's event at or before readyNs (a floor division).
    const int64_t sinceOffset = readyNs - link.offsetNs;
    int64_t k = sinceOffset / interval - (sinceOffset % interval < 0 ? 1 : 0);
    const int64_t now = k;
    forget(k - 3);

    int remaining = model_.pdusFor(bytes);
    int64_t doneNs = readyNs;
    while (remaining > 0) {
        const int64_t eventNs = k * interval + link.offsetNs;
        const int exchanges = exchangesIn(link, k);
        // An event closes when its link has nothing more to send either way: data that becomes
        // ready after that waits for the next event.
        if (readyNs > eventNs + exchanges * pdu) {
            ++k;
            continue;
        }
        // The first exchange this SDU can ride: after this direction's earlier PDUs, and not
        // one that has begun before the data was there.
        const int64_t late = readyNs - eventNs;
        const int notBefore = late > 0 ? static_cast<int>((late + pdu - 1) / pdu) : 0;
        const int first = std::max(usedIn(own, k), notBefore);
        // The link wants this interval, served or not: it counts for the shares from now on.
        radioA.users[k].insert(linkNumber);
        radioB.users[k].insert(linkNumber);
        // Exchanges already planned carry it for free; more cost both radios airtime.
        const int more = std::max(
            0, std::min({model_.maxPdusPerEvent - exchanges, radioCapacity - usedIn(radioA.used, k),
                         radioCapacity - usedIn(radioB.used, k),
                         shareOf(radioA, now, k, linkNumber) - exchanges,
                         shareOf(radioB, now, k, linkNumber) - exchanges}));
        const Delivery delivery = deliver((exchanges - first) + more, remaining);
        if (delivery.used > 0) {
            const int added = std::max(0, first + delivery.used - exchanges);
            own[k] = first + delivery.used;
            radioA.used[k] += added;
            if (&radioB != &radioA) {
                radioB.used[k] += added;
            }
            remaining -= delivery.delivered;
            doneNs = eventNs + (first + delivery.used) * pdu;
        }
        ++k;
    }
    return doneNs;
}

} // namespace merriphonic
