// Parses arbitrary bytes; whatever parses must survive a write and a second parse unchanged,
// and writing is deterministic.
#include "core/json_error.h"
#include "core/json_parser.h"
#include "core/json_writer.h"

#include <cstdint>
#include <cstdlib>

using namespace merriphonic;

// NOLINTNEXTLINE(readability-identifier-naming): the name libFuzzer calls
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    JSONValue value;
    try {
        value = JSONParser::parse(ByteView(data, size));
    } catch (const JSONError&) {
        return 0;
    }
    const Bytes written = JSONWriter::data(value);
    JSONValue again;
    try {
        again = JSONParser::parse(ByteView(written));
    } catch (const JSONError&) {
        std::abort();
    }
    if (!(again == value) || !again.semanticallyEquals(value)) {
        std::abort();
    }
    if (JSONWriter::data(again) != written) {
        std::abort();
    }
    return 0;
}
