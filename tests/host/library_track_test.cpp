#include "host/library_track.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/json_parser.h"
#include "core/json_writer.h"

namespace merriphonic {
namespace {

using State = LibraryTrack::State;

const std::string idA = "0F8FAD5B-D9CB-469F-A165-70867728950E";
const std::string idB = "7C9E6679-7425-40DE-944B-E07FC1F90AE7";

std::vector<LibraryTrack> decodeText(const std::string& text) {
    return LibraryTrack::decodeList(JSONParser::parse(text));
}

TEST(LibraryTrackIndex, WritesTheIndexCompactlyLeavingOutAbsentFields) {
    const std::vector<LibraryTrack> list{
        {idA, "Song \"1\"", "Band", 183'000, idA + ".src.mp3", idA + ".src.mp3", "mp3", 2'931'000,
         "00112233aabbccdd", State::ready, std::nullopt},
        {idB, "Broken", "", 0, idB + ".src", std::nullopt, std::nullopt, std::nullopt, std::nullopt,
         State::failed, "Can't use this file: No audio track"}};
    const std::string expected =
        R"([{"id":"0F8FAD5B-D9CB-469F-A165-70867728950E","title":"Song \"1\"","artist":"Band",)"
        R"("durationMs":183000,"sourceFile":"0F8FAD5B-D9CB-469F-A165-70867728950E.src.mp3",)"
        R"("wireFile":"0F8FAD5B-D9CB-469F-A165-70867728950E.src.mp3","ext":"mp3","size":2931000,)"
        R"("trackKey":"00112233aabbccdd","state":"ready"},)"
        R"({"id":"7C9E6679-7425-40DE-944B-E07FC1F90AE7","title":"Broken","artist":"",)"
        R"("durationMs":0,"sourceFile":"7C9E6679-7425-40DE-944B-E07FC1F90AE7.src",)"
        R"("state":"failed","error":"Can't use this file: No audio track"}])";
    EXPECT_EQ(JSONWriter::string(LibraryTrack::encodeList(list)), expected);
    EXPECT_EQ(decodeText(expected), list);
    // Keys in any order, a lower-case id and a null optional are read too.
    const std::vector<LibraryTrack> read =
        decodeText(R"([{"error":null,"state":"ready","size":5,"durationMs":7,"sourceFile":"a.src",)"
                   R"("artist":"Ä","title":"T","id":"0f8fad5b-d9cb-469f-a165-70867728950e"}])");
    EXPECT_EQ(read,
              (std::vector<LibraryTrack>{{idA, "T", "Ä", 7, "a.src", std::nullopt, std::nullopt, 5,
                                          std::nullopt, State::ready, std::nullopt}}));
}

TEST(LibraryTrackIndex, RejectsTheWholeIndexForOneBadEntry) {
    const std::string good = R"({"id":")" + idA +
                             R"(","title":"T","artist":"","durationMs":0,"sourceFile":"a.src",)"
                             R"("state":"ready"})";
    auto withEntry = [&](const std::string& field, const std::string& value) {
        std::string bad = good;
        const size_t at = bad.find("\"" + field + "\":");
        const size_t end = bad.find_first_of(",}", bad.find(':', at));
        bad.replace(at, end - at, "\"" + field + "\":" + value);
        return "[" + good + "," + bad + "]";
    };
    EXPECT_NO_THROW(decodeText("[" + good + "]"));
    const std::vector<std::pair<std::string, std::string>> faults{
        {"state", R"("Ready")"},   {"id", R"("not-a-uuid")"},       {"durationMs", "1.5"},
        {"durationMs", R"("12")"}, {"sourceFile", R"("../a.src")"}, {"sourceFile", R"("..")"},
        {"title", "null"}};
    for (const auto& [field, value] : faults) {
        EXPECT_THROW(decodeText(withEntry(field, value)), LibraryTrack::DecodeError)
            << field << "=" << value;
    }
    EXPECT_THROW(decodeText(R"({"id":"x"})"), LibraryTrack::DecodeError);
    try {
        decodeText(withEntry("state", R"("done")"));
        ADD_FAILURE() << "decoded";
    } catch (const LibraryTrack::DecodeError& error) {
        EXPECT_STREQ(error.what(), "entry 1: unknown state \"done\"");
    }
}

} // namespace
} // namespace merriphonic
