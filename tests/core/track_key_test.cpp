#include "core/track_key.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string_view>
#include <system_error>

#include "core/hex.h"
#include "core/sha256.h"
#include "core/uuid.h"

namespace merriphonic {
namespace {

ByteView viewOf(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

TEST(TrackKey, IsTheSHA256PrefixInLowerCaseHex) {
    EXPECT_EQ(TrackKey::of(viewOf("abc")).hex(), "ba7816bf8f01cfea");
    EXPECT_EQ(TrackKey::of(ByteView{}).hex(), "e3b0c44298fc1c14");
    const std::optional<TrackKey> key = TrackKey::fromHex("0123456789ABCDEF");
    ASSERT_TRUE(key);
    EXPECT_EQ(key->hex(), "0123456789abcdef");
    EXPECT_EQ(TrackKey::normalize("00FFaa11bB22cC33"), "00ffaa11bb22cc33");
    for (std::string_view bad :
         {"0123456789abcde", "0123456789abcdef0", "0123456789abcdeg", " 123456789abcdef",
          "0x23456789abcdef", "0123456789abcd\xc3\xa9"}) {
        EXPECT_EQ(TrackKey::fromHex(bad), std::nullopt) << bad;
        EXPECT_EQ(TrackKey::normalize(bad), std::nullopt) << bad;
    }
    EXPECT_EQ(TrackKey::fromBytes(Bytes(7)), std::nullopt);

    // A hash fed in pieces is the hash of the whole, and a finished hash starts afresh.
    const Bytes abc{'a', 'b', 'c'};
    Sha256 hash;
    hash.update(ByteView(abc).first(1));
    hash.update(ByteView(abc).subspan(1));
    EXPECT_EQ(hash.finish(), Sha256::of(abc));
    EXPECT_EQ(hash.finish(), Sha256::of(Bytes{}));
    Bytes all(256);
    for (size_t n = 0; n < all.size(); ++n) {
        all[n] = static_cast<uint8_t>(n);
    }
    EXPECT_EQ(fromHex(toHex(all)), all);
    for (std::string_view bad : {"0", "0g", "0x", " 0"}) {
        EXPECT_EQ(fromHex(bad), std::nullopt) << bad;
    }
}

// Files are read in pieces of 1 MiB; a missing one throws with the reason.
TEST(TrackKey, FilesReadInPiecesMatchBytesInMemory) {
    const std::filesystem::path dir = std::filesystem::path(testing::TempDir()) / "track_key";
    std::filesystem::create_directories(dir);
    for (std::size_t size : {0, 1'048'575, 1'048'576, 2'097'153}) {
        Bytes content(size);
        for (std::size_t n = 0; n < size; ++n) {
            content[n] = static_cast<uint8_t>((n * 2654435761U) >> 13);
        }
        const std::filesystem::path file = dir / ("track_" + std::to_string(size));
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(content.data()),
                   static_cast<std::streamsize>(content.size()));
        EXPECT_EQ(TrackKey::of(file), TrackKey::of(content)) << size;
    }
    const std::filesystem::path missing = dir / "missing.m4a";
    try {
        TrackKey::of(missing);
        ADD_FAILURE() << "no error";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::errc::no_such_file_or_directory);
        EXPECT_NE(std::string(error.what()).find(missing.string()), std::string::npos);
    }
    std::filesystem::remove_all(dir);
}

TEST(Uuid, RandomOnesAreCanonicalVersion4) {
    for (int i = 0; i < 100; ++i) {
        const std::string id = randomUuid();
        EXPECT_EQ(canonicalUuid(id), id);
        EXPECT_EQ(id[14], '4');
        EXPECT_NE(std::string("89AB").find(id[19]), std::string::npos);
    }
    EXPECT_EQ(canonicalUuid("0f8fad5b-d9cb-469f-a165-70867728950e"),
              "0F8FAD5B-D9CB-469F-A165-70867728950E");
    EXPECT_FALSE(sameUuid("180A", "180A0"));
}

} // namespace
} // namespace merriphonic
