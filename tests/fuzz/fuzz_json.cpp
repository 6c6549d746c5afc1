// Parses arbitrary bytes; whatever parses must survive a write and a second parse unchanged,
// and writing is deterministic.
#include "core/json_error.h"
#include "core/json_parser.h"
#include "core/json_writer.h"
#include "tests/fuzz/fuzz_check.h"

#include <cstdint>
#include <cstdlib>

using namespace merriphonic;
using merriphonic::fuzz::check;

// NOLINTNEXTLINE(readability-identifier-naming): the name libFuzzer calls
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    JsonValue value;
    try {
        value = JsonParser::parse(ByteView(data, size));
    } catch (const JsonError&) {
        return 0;
    }
    const Bytes written = JsonWriter::data(value);
    JsonValue again;
    try {
        again = JsonParser::parse(ByteView(written));
    } catch (const JsonError&) {
        std::abort();
    }
    check(again == value && again.semanticallyEquals(value));
    check(JsonWriter::data(again) == written);
    return 0;
}
