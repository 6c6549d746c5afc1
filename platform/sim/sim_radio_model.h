#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace merriphonic {

// Where a simulated device stands, in metres on a floor plan.
struct SimPosition {
    double xM = 0.0;
    double yM = 0.0;

    [[nodiscard]] double distanceTo(const SimPosition& other) const {
        return std::hypot(xM - other.xM, yM - other.yM);
    }
    bool operator==(const SimPosition&) const = default;
};

// The figures of the simulated Bluetooth LE air. The defaults describe two Linux computers
// with BlueZ's default connection parameters, on the LE 2M PHY with data length extension.
struct SimRadioModel {
    // ---- Advertising (legacy advertising, 1M PHY) ----
    // The host's advertising interval; the link layer adds a pseudo-random advDelay of
    // 0...10 ms to every advertising event.
    int64_t advertisingIntervalNs = 100'000'000;
    int64_t advertisingDelayMaxNs = 10'000'000;
    // Advertising events a scanner misses though in range (it listens on one of the three
    // advertising channels at a time; collisions).
    double advertisementLossRatio = 0.1;

    // ---- Signal: log-distance path loss with log-normal shadowing ----
    //   rssi = rssiAt1mDbm - 10 * pathLossExponent * log10(d / 1 m) + N(0, shadowingSigmaDb)
    // About -55 dBm at 1 m for a laptop radio at 0...+4 dBm; exponent 2.2 and 4 dB of
    // shadowing are typical indoor figures at 2.4 GHz. Below the sensitivity (the Bluetooth
    // standard asks -70 dBm of a 1M PHY receiver; laptop radios reach about -95 dBm) nothing
    // is heard.
    double rssiAt1mDbm = -55.0;
    double pathLossExponent = 2.2;
    double shadowingSigmaDb = 4.0;
    double sensitivityDbm = -95.0;
    double minDistanceM = 0.1;

    // ---- The local stack ----
    int64_t managerStartNs = 5'000'000; // a new manager's first state report
    int64_t operationNs = 3'000'000;    // publish, add service, start advertising: HCI + D-Bus
    int64_t stateChangeNs = 1'000'000;  // a power change reaching the managers

    // ---- Between the app and the controller ----
    // Kernel, HCI transport and thread wake-up, drawn uniformly for every SDU in each
    // direction (on its way down to the sender's controller, and up from the receiver's): about
    // 0.3 to 3 ms on a laptop. SDUs of one direction keep their order through the stack.
    int64_t stackLatencyMinNs = 300'000;
    int64_t stackLatencyMaxNs = 3'000'000;

    // ---- Connections ----
    // BlueZ's defaults: connection interval 30...50 ms (the controller takes 30 ms),
    // supervision timeout 420 ms.
    int64_t connectionIntervalNs = 30'000'000;
    int64_t supervisionTimeoutNs = 420'000'000;
    // After CONNECT_IND the first connection event falls in a transmit window up to one
    // interval later; feature exchange, PHY and data length updates take a few more events
    // before the connection is reported.
    int connectionSetupEvents = 3;
    // ATT allows one request at a time; a request sent in one connection event is answered
    // in the next. Discovery by UUID takes two requests (the second finds the end).
    int attRoundTripEvents = 1;
    int serviceDiscoveryRequests = 2;
    int characteristicDiscoveryRequests = 2;
    size_t attMtu = 247; // after the MTU exchange; longer values take blob reads
    // The L2CAP LE credit based connection request and its response.
    int channelOpenEvents = 1;

    // ---- L2CAP data on the LE 2M PHY with data length extension ----
    // One packet exchange: a 251-byte LL payload (2 preamble + 4 access address + 2 header +
    // 251 + 3 CRC = 262 bytes = 1048 us at 2 Mbit/s), T_IFS 150 us, the empty acknowledgement
    // (11 bytes = 44 us), T_IFS 150 us: 1392 us.
    int64_t pduAirtimeNs = 1'392'000;
    // Data per PDU: 251 bytes less the 4-byte L2CAP header (MPS 247); the first PDU of an SDU
    // also carries its 2-byte length.
    size_t l2capPayloadPerPdu = 247;
    // How many exchanges a controller puts in one connection event of one link: the
    // per-link throughput limit (12 x 1392 us = 16.7 ms of a 30 ms interval).
    int maxPdusPerEvent = 12;
    // The share of packet exchanges lost to interference (a CRC error): the PDU goes again in
    // the next exchange, and two lost in a row end the event. Busy 2.4 GHz rooms lose a few
    // percent.
    double pduLossRatio = 0.0;
    // The share of each interval a radio can give its connections (the rest: advertising,
    // scanning, scheduling guard times). All links of a radio share it.
    double radioDutyCycle = 0.85;
    // With these figures a 2048-byte SDU takes 9 exchanges: one link alone carries 12/9 SDUs
    // per interval, about 91 kB/s (730 kbit/s); a radio fits 18 exchanges per interval, about
    // 136 kB/s (1.1 Mbit/s) shared by all its links, which is within the few hundred kbit/s to
    // 1.4 Mbit/s measured for L2CAP channels on real LE 2M links.
    // The L2CAP SDU size: the unit a channel delivers at once.
    size_t sduBytes = 2048;
    // A channel socket holds about one song chunk: a PONG or a PAUSE the app writes waits
    // behind that much at most, not behind seconds of song.
    size_t sendBufferBytes = 4 * 1024;
    size_t receiveBufferBytes = 64 * 1024; // the credits the receiver grants, in bytes

    // Packet exchanges one radio fits into one connection interval.
    [[nodiscard]] int radioPdusPerInterval() const {
        return static_cast<int>(static_cast<double>(connectionIntervalNs) * radioDutyCycle /
                                static_cast<double>(pduAirtimeNs));
    }
    // PDUs that carry an SDU of this many bytes (an empty one still takes one).
    [[nodiscard]] int pdusFor(size_t bytes) const {
        return static_cast<int>(
            std::max<size_t>(1, (bytes + 2 + l2capPayloadPerPdu - 1) / l2capPayloadPerPdu));
    }
    // The mean signal at a distance, without shadowing.
    [[nodiscard]] double meanRssiDbm(double distanceM) const {
        return rssiAt1mDbm -
               10.0 * pathLossExponent * std::log10(std::max(distanceM, minDistanceM));
    }
};

} // namespace merriphonic
