#include "tests/vm/bt_check/check_plan.h"

#include <string>

#include "core/bytes.h"
#include "transport/host_peripheral.h"

namespace merriphonic {

namespace {

// A shortened advertised name this short could belong to anything.
constexpr size_t minimumShortName = 12;

std::string makeFirstPartyName() {
    // Plain ASCII first: the advertisement keeps only the first twenty-odd bytes, and a cut
    // through a multi-byte character would be the controller's doing, not ours.
    std::string name = "Merriphonic check, first party: ";
    const std::string verse = "K\u00fcche \u266b Stra\u00dfe \u2014 ";
    // The host shortens a name whose record would not fit; the check wants the name whole.
    const auto keptWhole = [](const std::string& candidate) {
        const Bytes info = HostPeripheral::infoValue(candidate);
        return std::string(info.begin(), info.end()).find(candidate) != std::string::npos;
    };
    while (keptWhole(name + verse)) {
        name += verse;
    }
    while (HostPeripheral::infoValue(name).size() < CheckPlan::firstInfoBytes) {
        name += '.';
    }
    return name;
}

} // namespace

std::string CheckPlan::partyName(int party) {
    if (party == 0) {
        static const std::string first = makeFirstPartyName();
        return first;
    }
    return "Merriphonic encore";
}

bool CheckPlan::announces(std::string_view advertisedName, int party) {
    const std::string name = partyName(party);
    if (advertisedName == name) {
        return true;
    }
    return advertisedName.size() >= minimumShortName &&
           std::string_view(name).starts_with(advertisedName);
}

} // namespace merriphonic
