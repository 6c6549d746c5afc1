// What one process of this computer finds in the same-machine radio's rendezvous folder and on
// a channel socket: host records written by any process, and the hello line a speaker writes
// first. A record that reads must write back to the same record; a hello names a canonical
// identifier.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "core/uuid.h"
#include "platform/local/local_hello.h"
#include "platform/local/local_record.h"
#include "tests/fuzz/fuzz_check.h"

using namespace merriphonic;

using merriphonic::fuzz::check;

// NOLINTNEXTLINE(readability-identifier-naming): the name libFuzzer calls
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const ByteView bytes(data, size);
    if (const std::optional<LocalRecord> record = LocalRecord::fromJson(bytes)) {
        const Bytes written = record->toJson();
        const std::optional<LocalRecord> again = LocalRecord::fromJson(written);
        check(again == record);
        check(again->toJson() == written);
        for (const LocalChannelRecord& channel : record->channels) {
            check(record->channel(channel.psm) != nullptr);
        }
    }

    const std::string_view line(reinterpret_cast<const char*>(data), size);
    if (const std::optional<std::string> central = LocalHello::parse(line)) {
        check(canonicalUuid(*central) == central);
        check(LocalHello::parse(LocalHello::line(*central).substr(
                  0, LocalHello::line(*central).size() - 1)) == central);
    }
    return 0;
}
