// The library index as the host finds it on disk: what decodes must encode to an index that
// decodes to the same entries, names no file outside the library folder, and loads into a
// library without harm.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <vector>

#include "core/json_error.h"
#include "core/json_parser.h"
#include "core/json_writer.h"
#include "host/library_store.h"
#include "host/library_track.h"
#include "platform/sim/sim_device.h"
#include "platform/sim/sim_world.h"
#include "tests/fuzz/fuzz_check.h"

using namespace merriphonic;

using merriphonic::fuzz::check;

namespace {

bool isPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

std::optional<std::vector<LibraryTrack>> decoded(ByteView bytes) {
    try {
        return LibraryTrack::decodeList(JsonParser::parse(bytes));
    } catch (const JsonError&) {
        return std::nullopt;
    } catch (const LibraryTrack::DecodeError&) {
        return std::nullopt;
    }
}

} // namespace

// NOLINTNEXTLINE(readability-identifier-naming): the name libFuzzer calls
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const ByteView bytes(data, size);
    const std::optional<std::vector<LibraryTrack>> tracks = decoded(bytes);
    if (tracks) {
        for (const LibraryTrack& track : *tracks) {
            check(isPlainName(track.sourceFile));
            check(!track.wireFile || isPlainName(*track.wireFile));
        }
        const Bytes again = JsonWriter::data(LibraryTrack::encodeList(*tracks));
        check(decoded(again) == tracks);
    }

    // The same bytes as the index of a library that opens: it lists them or nothing.
    static SimWorld world(1);
    static SimDevice device(world, "host");
    const std::filesystem::path folder = device.context().folders.data / "library";
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    std::filesystem::create_directories(folder, ignored);
    std::ofstream(folder / std::string(LibraryStore::indexName), std::ios::binary)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    {
        const std::shared_ptr<LibraryStore> library = LibraryStore::create(device.context());
        world.runFor(1'000'000'000);
        check(library->tracks->size() == (tracks ? tracks->size() : 0));
    }
    world.runFor(1'000'000);
    device.logSink().clear(); // a device kept across inputs keeps no lines
    return 0;
}
