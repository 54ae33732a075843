// Remote PC/SC answer lines arrive from servers on the network.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "rpcsc/wire_message.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vexa::wire;
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    Reader reader;
    if (reader.parseLine(line) == ParseError::none) {
        // What was read writes back to the same bytes, element by element.
        Writer writer;
        for (const Element& e : reader.elements()) writer.putBytes(e.tag, e.value.bytes());
        if (writer.ok() && writer.line().size() != (line.size() + 1) / 2 * 2) std::abort();
        reader.operation();
        reader.intOr(TAG_RESULT, 0);
        reader.handleOr(TAG_CONTEXT, 0);
        for (const Element& e : reader.elements()) {
            Reader nested;
            if (nested.parse(e.value.bytes()) == ParseError::none) nested.textOr(TAG_STATE_READER);
        }
    }
    // The same bytes taken as a message instead of a line.
    reader.parse({data, size});
    return 0;
}
