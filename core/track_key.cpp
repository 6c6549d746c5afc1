#include "core/track_key.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace merriphonic {

namespace {

constexpr std::size_t filePieceSize = 1'048'576;

std::optional<uint8_t> hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return static_cast<uint8_t>(c - '0');
    }
    if (c >= 'a' && c <= 'f') {
        return static_cast<uint8_t>(c - 'a' + 10);
    }
    if (c >= 'A' && c <= 'F') {
        return static_cast<uint8_t>(c - 'A' + 10);
    }
    return std::nullopt;
}

struct DigestContextDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// Incremental SHA-256 whose key is the digest's first 8 bytes.
class KeyHasher {
public:
    KeyHasher() : context_(EVP_MD_CTX_new()) {
        if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1) {
            throw std::runtime_error("SHA-256 is not available");
        }
    }

    void update(const uint8_t* data, std::size_t count) {
        if (EVP_DigestUpdate(context_.get(), data, count) != 1) {
            throw std::runtime_error("SHA-256 update failed");
        }
    }

    TrackKey finish() {
        std::array<uint8_t, EVP_MAX_MD_SIZE> digest{};
        unsigned int length = 0;
        if (EVP_DigestFinal_ex(context_.get(), digest.data(), &length) != 1 ||
            length < TrackKey::size) {
            throw std::runtime_error("SHA-256 finish failed");
        }
        TrackKey key;
        std::copy_n(digest.begin(), TrackKey::size, key.bytes.begin());
        return key;
    }

private:
    std::unique_ptr<EVP_MD_CTX, DigestContextDeleter> context_;
};

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
    TrackKey key;
    for (std::size_t n = 0; n < size; ++n) {
        const std::optional<uint8_t> high = hexDigit(text[2 * n]);
        const std::optional<uint8_t> low = hexDigit(text[2 * n + 1]);
        if (!high || !low) {
            return std::nullopt;
        }
        key.bytes[n] = static_cast<uint8_t>((*high << 4) | *low);
    }
    return key;
}

std::optional<std::string> TrackKey::normalize(std::string_view text) {
    const std::optional<TrackKey> key = fromHex(text);
    if (!key) {
        return std::nullopt;
    }
    return key->hex();
}

std::string TrackKey::hex() const {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * size);
    for (uint8_t byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0f];
    }
    return text;
}

TrackKey TrackKey::of(ByteView data) {
    KeyHasher hasher;
    hasher.update(data.data(), data.size());
    return hasher.finish();
}

TrackKey TrackKey::of(const std::filesystem::path& file) {
    errno = 0;
    const std::unique_ptr<std::FILE, FileCloser> handle(std::fopen(file.c_str(), "rb"));
    if (!handle) {
        throw std::system_error(errno, std::generic_category(), "couldn't open " + file.string());
    }
    KeyHasher hasher;
    std::vector<uint8_t> piece(filePieceSize);
    for (;;) {
        errno = 0;
        const std::size_t count = std::fread(piece.data(), 1, piece.size(), handle.get());
        const int readError = errno;
        if (count > 0) {
            hasher.update(piece.data(), count);
        }
        if (count < piece.size()) {
            if (std::ferror(handle.get()) != 0) {
                throw std::system_error(readError, std::generic_category(),
                                        "couldn't read " + file.string());
            }
            break;
        }
    }
    return hasher.finish();
}

} // namespace merriphonic
