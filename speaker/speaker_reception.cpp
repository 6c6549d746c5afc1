// The speaker's half of song transfer: offers answered with what the cache holds, chunks written
// in order into the cache file, TRACK_DONE checked, finished files verified against their key
// off the main loop, and what is missing or wrong asked for again.
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <optional>
#include <system_error>
#include <utility>

#include "core/sync_protocol.h"
#include "core/track_key.h"
#include "platform/files.h"
#include "speaker/speaker_session.h"

namespace merriphonic {

namespace {

constexpr auto transfer = LogCategory::transfer;

// Songs received at once, each holding its cache file open: the one playing and the next one
// suffice for a willing host; a host that spreads chunks over more songs makes others close
// (their bytes are in their files, and found there again).
constexpr size_t maxOpenReceivers = 4;

// Offers remembered at once: a willing host offers the song playing and the next one. Once a
// host has offered this many, the idle ones are forgotten (a song received stays playable from
// its file, and an offer made again is answered as before).
constexpr size_t maxOffers = 64;

// Bytes free for the cache to an unprivileged writer; nothing when the file system cannot tell.
std::optional<int64_t> freeBytes(const std::filesystem::path& folder) {
    struct statvfs info {};
    if (::statvfs(folder.c_str(), &info) != 0 || info.f_frsize == 0) {
        return std::nullopt;
    }
    const auto blocks = static_cast<std::uintmax_t>(info.f_bavail);
    const auto blockSize = static_cast<std::uintmax_t>(info.f_frsize);
    return blocks > static_cast<std::uintmax_t>(INT64_MAX) / blockSize
               ? INT64_MAX
               : static_cast<int64_t>(blocks * blockSize);
}

} // namespace

// Closing the file loses nothing: what was written is in it already, and the hash checks it.
SpeakerSession::Receiver::Receiver(std::filesystem::path url, int fd, int64_t length)
    : url(std::move(url)), fd(fd), length(length) {}

std::error_code SpeakerSession::Receiver::write(int64_t offset, const Bytes& data) const {
    return writeAllAt(fd.get(), data.data(), data.size(), offset);
}

std::filesystem::path SpeakerSession::cacheFile(const std::string& key,
                                                const TrackOffer& offer) const {
    return TrackCache::file(cacheFolder_, key, offer.ext);
}

int64_t SpeakerSession::heldBytes(const std::string& key, const TrackOffer& offer) const {
    if (auto receiver = receivers_.find(key); receiver != receivers_.end()) {
        return receiver->second->length;
    }
    return TrackCache::length(cacheFile(key, offer));
}

void SpeakerSession::handleOffer(const TrackOffer& received) {
    const std::optional<std::string> key = TrackKey::normalize(received.trackKey);
    if (!key || received.size < 0) {
        log_.error(transfer, "bad TRACK_OFFER key {}", received.trackKey);
        return;
    }
    TrackOffer offer = received;
    offer.trackKey = *key;
    const std::filesystem::path file = cacheFile(*key, offer);
    int64_t have = TrackCache::length(file);
    // Refused before a byte is written, and before the offer replaces anything known.
    if (offer.size > SyncProtocol::maxTrackSize) {
        log_.error(transfer, "refusing TRACK_OFFER {}: {} B is over the {} B a song may have", *key,
                   offer.size, SyncProtocol::maxTrackSize);
        return;
    }
    if (const std::optional<int64_t> free = freeBytes(cacheFolder_);
        free && offer.size - std::min(have, offer.size) > *free) {
        log_.error(transfer, "refusing TRACK_OFFER {}: {} B does not fit in the {} B free", *key,
                   offer.size - std::min(have, offer.size), *free);
        return;
    }
    if (offers_.count(*key) == 0 && offers_.size() >= maxOffers) {
        forgetIdleOffers();
    }
    offers_[*key] = offer;
    if (!currentPlay_ && !paused_) {
        focusKey_ = *key;
    }
    if (offer.size < have) {
        closeReceiver(*key);
        removeQuietly(file);
        have = 0;
    }
    if (have < offer.size) {
        readyKeys_.erase(*key);
    }
    retries_[*key] = 0;
    mismatches_[*key] = 0;
    log_.info(transfer, "OFFER {} [{}] {} B, have {}", offer.title, *key, offer.size, have);
    send(TrackHave{*key, have});
    if (have == offer.size) {
        finalize(*key);
    }
    updateState();
    refreshUI();
}

void SpeakerSession::forgetIdleOffers() {
    const auto inUse = [this](const std::string& key) {
        const auto about = [&key](const auto& command) {
            return command && command->trackKey == key;
        };
        return key == focusKey_ || about(currentPlay_) || about(lastPlay_) || about(paused_) ||
               receivers_.count(key) != 0 || finalizing_.count(key) != 0 ||
               earlyDone_.count(key) != 0;
    };
    std::erase_if(offers_, [&](const auto& known) {
        if (inUse(known.first)) {
            return false;
        }
        retries_.erase(known.first);
        mismatches_.erase(known.first);
        return true;
    });
}

SpeakerSession::Receiver* SpeakerSession::receiver(const std::string& key,
                                                   const TrackOffer& offer) {
    if (auto found = receivers_.find(key); found != receivers_.end()) {
        return found->second.get();
    }
    if (receivers_.size() >= maxOpenReceivers) {
        // The song in focus keeps its receiver; another one makes room.
        const auto other =
            std::find_if(receivers_.begin(), receivers_.end(),
                         [this](const auto& open) { return open.first != focusKey_; });
        receivers_.erase(other != receivers_.end() ? other : receivers_.begin());
    }
    std::filesystem::path url = cacheFile(key, offer);
    const int fd = ::open(url.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        log_.error(transfer, "can't open cache file {}", url.filename().string());
        return nullptr;
    }
    const int64_t length = TrackCache::length(url);
    auto made = std::make_unique<Receiver>(std::move(url), fd, length);
    Receiver* result = made.get();
    receivers_[key] = std::move(made);
    return result;
}

void SpeakerSession::closeReceiver(const std::string& key) {
    receivers_.erase(key);
}

void SpeakerSession::handleChunk(const TrackChunk& chunk) {
    const std::string key = chunk.key.hex();
    const auto offer = offers_.find(key);
    if (offer == offers_.end()) {
        return;
    }
    const int64_t size = offer->second.size;
    Receiver* receiver = this->receiver(key, offer->second);
    if (receiver == nullptr) {
        return;
    }
    const auto offset = static_cast<int64_t>(chunk.offset);
    const auto count = static_cast<int64_t>(chunk.data.size());
    if (receiver->length < offset) {
        log_.error(transfer, "chunk gap for {}: offset {} > have {}", key, offset,
                   receiver->length);
        return;
    }
    if (offset + count > size) {
        log_.error(transfer, "chunk beyond size for {}", key);
        return;
    }
    if (const std::error_code error = receiver->write(offset, chunk.data)) {
        log_.error(transfer, "cache write failed: {}", error.message());
        return;
    }
    receiver->length = std::max(receiver->length, offset + count);
    readyKeys_.erase(key); // the file is being rewritten
    if (focusKey_ == key && size >= 1) {
        loadingPercent_ = static_cast<int>(receiver->length * 100 / size);
    }
    if (receiver->length == size) {
        finalize(key);
    }
}

void SpeakerSession::handleDone(const TrackKey& trackKey) {
    const std::string key = trackKey.hex();
    const auto offer = offers_.find(key);
    if (offer == offers_.end()) {
        return;
    }
    const int64_t size = offer->second.size;
    const int64_t have = heldBytes(key, offer->second);
    if (have == size) {
        finalize(key);
        return;
    }
    if (have < size) {
        // The TRACK_DONE overtook chunks still on their way, or chunks were lost.
        log_.info(transfer, "TRACK_DONE early for {} ({}/{} B) → waiting", key, have, size);
        earlyDone_[key] =
            context_.main.after(earlyDoneRecheckNs, [weak = weak_from_this(), key, have] {
                if (auto self = weak.lock()) {
                    self->recheckEarlyDone(key, have);
                }
            });
        return;
    }
    // Longer than the song: start again from the beginning.
    closeReceiver(key);
    removeQuietly(cacheFile(key, offer->second));
    send(TrackHave{key, 0});
}

void SpeakerSession::recheckEarlyDone(const std::string& key, int64_t had) {
    const auto offer = offers_.find(key);
    if (offer == offers_.end() || readyKeys_.count(key) != 0 || finalizing_.count(key) != 0) {
        return;
    }
    const int64_t now = heldBytes(key, offer->second);
    if (now == offer->second.size || now != had) {
        return; // complete, or chunks are still coming and finish the song themselves
    }
    const int retry = ++retries_[key];
    if (retry > maxRetries) {
        return;
    }
    log_.error(transfer, "incomplete {} after TRACK_DONE → TRACK_HAVE {} (retry {})", key, now,
               retry);
    send(TrackHave{key, now});
}

void SpeakerSession::finalize(const std::string& key) {
    const auto offer = offers_.find(key);
    if (offer == offers_.end() || finalizing_.count(key) != 0) {
        return;
    }
    earlyDone_.erase(key);
    closeReceiver(key);
    if (readyKeys_.count(key) != 0) {
        trackReady(key);
        return;
    }
    finalizing_.insert(key);
    const std::filesystem::path file = cacheFile(key, offer->second);
    if (offer->second.size == 0) {
        // An empty song never gets a chunk, so nothing has made its file yet; without one the
        // hash would fail and the song be fetched again and again.
        receiver(key, offer->second);
        closeReceiver(key);
    }
    context_.background.run(
        hashWorkLabel,
        [file]() -> std::optional<TrackKey> {
            try {
                return TrackKey::of(file);
            } catch (const std::system_error&) {
                return std::nullopt;
            }
        },
        [weak = weak_from_this(), key](std::optional<TrackKey> computed) {
            if (auto self = weak.lock()) {
                self->verified(key, computed);
            }
        });
}

void SpeakerSession::verified(const std::string& key, const std::optional<TrackKey>& computed) {
    finalizing_.erase(key);
    const auto offer = offers_.find(key);
    if (offer == offers_.end()) {
        return;
    }
    if (computed && computed->hex() == key) {
        trackReady(key);
        return;
    }
    // Counted apart from the early-TRACK_DONE retries: a song that needed one of those must
    // still be fetched again at its first mismatch rather than kept damaged.
    const int mismatch = ++mismatches_[key];
    if (mismatch == 1) {
        log_.error(transfer, "hash mismatch for {} (got {}) → re-download", key,
                   computed ? computed->hex() : std::string("-"));
        removeQuietly(cacheFile(key, offer->second));
        send(TrackHave{key, 0});
        return;
    }
    log_.error(transfer, "hash mismatch for {} again → accepting file as-is", key);
    trackReady(key);
}

void SpeakerSession::trackReady(const std::string& key) {
    readyKeys_.insert(key);
    // The link has just gone quiet: a burst of PINGs now lets the clock estimate use quiet
    // exchanges before the start the host is about to plan.
    pingsDue_ = std::max(pingsDue_, SyncProtocol::initialPingBurst);
    if (auto offer = offers_.find(key); offer != offers_.end()) {
        log_.info(transfer, "ready {} [{}]", offer->second.title, key);
    }
    // A PLAY that came while the song was still arriving: join it where the group is now.
    if (currentPlay_ && currentPlay_->trackKey == key && !player_->spec) {
        startPlayer();
    }
    if (!updateState() && keyInFocus() == key) {
        sendStatus();
    }
    refreshUI();
}

} // namespace merriphonic
