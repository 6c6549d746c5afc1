#include "core/track_key.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "core/hex.h"
#include "core/sha256.h"

namespace merriphonic {

namespace {

constexpr std::size_t filePieceSize = 1'048'576;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// The key is the first bytes of the SHA-256 digest.
TrackKey keyOf(const Sha256::Digest& digest) {
    TrackKey key;
    std::copy_n(digest.begin(), TrackKey::size, key.bytes.begin());
    return key;
}

} // namespace

std::optional<TrackKey> TrackKey::fromBytes(ByteView bytes) {
    if (bytes.size() != size) {
        return std::nullopt;
    }
    TrackKey key;
    std::copy(bytes.begin(), bytes.end(), key.bytes.begin());
    return key;
}

std::optional<TrackKey> TrackKey::fromHex(std::string_view text) {
    if (text.size() != 2 * size) {
        return std::nullopt;
    }
    const std::optional<Bytes> bytes = merriphonic::fromHex(text);
    return bytes ? fromBytes(*bytes) : std::nullopt;
}

std::optional<std::string> TrackKey::normalize(std::string_view text) {
    const std::optional<TrackKey> key = fromHex(text);
    if (!key) {
        return std::nullopt;
    }
    return key->hex();
}

std::string TrackKey::hex() const {
    return toHex(bytes);
}

TrackKey TrackKey::of(ByteView data) {
    return keyOf(Sha256::of(data));
}

TrackKey TrackKey::of(const std::filesystem::path& file) {
    errno = 0;
    const std::unique_ptr<std::FILE, FileCloser> handle(std::fopen(file.c_str(), "rb"));
    if (!handle) {
        throw std::system_error(errno, std::generic_category(), "couldn't open " + file.string());
    }
    Sha256 hasher;
    std::vector<uint8_t> piece(filePieceSize);
    for (;;) {
        errno = 0;
        const std::size_t count = std::fread(piece.data(), 1, piece.size(), handle.get());
        const int readError = errno;
        if (count > 0) {
            hasher.update(ByteView(piece.data(), count));
        }
        if (count < piece.size()) {
            if (std::ferror(handle.get()) != 0) {
                throw std::system_error(readError, std::generic_category(),
                                        "couldn't read " + file.string());
            }
            break;
        }
    }
    return keyOf(hasher.finish());
}

} // namespace merriphonic
