#include "platform/bluez/peer_identifier.h"

#include <openssl/evp.h>

#include <array>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>

namespace merriphonic {

namespace {

// The namespace of our peer identifiers (a fixed random UUID).
constexpr std::array<uint8_t, 16> peerNamespace{0x3b, 0x8e, 0x5a, 0x7c, 0x91, 0x2d, 0x4f, 0x60,
                                                0xb4, 0x17, 0xc2, 0x9e, 0x0d, 0x55, 0x6a, 0xf3};

std::string upper(std::string_view text) {
    std::string result(text);
    for (char& c : result) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return result;
}

} // namespace

std::string peerIdentifier(std::string_view localAddress, std::string_view peerAddress) {
    const std::string name = upper(localAddress) + "/" + upper(peerAddress);
    std::string input(peerNamespace.begin(), peerNamespace.end());
    input += name;

    std::array<uint8_t, EVP_MAX_MD_SIZE> digest{};
    unsigned int digestSize = 0;
    EVP_Digest(input.data(), input.size(), digest.data(), &digestSize, EVP_sha1(), nullptr);

    digest[6] = static_cast<uint8_t>((digest[6] & 0x0f) | 0x50);
    digest[8] = static_cast<uint8_t>((digest[8] & 0x3f) | 0x80);

    std::string text;
    text.reserve(36);
    std::array<char, 3> hex{};
    for (size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text += '-';
        }
        std::snprintf(hex.data(), hex.size(), "%02X", digest[i]);
        text += hex.data();
    }
    return text;
}

} // namespace merriphonic
