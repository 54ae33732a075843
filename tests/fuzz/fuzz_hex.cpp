// Hex text and decimal parsing: outside input from pages and files.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "support/byte_buffer.h"
#include "support/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    for (bool withBlanks : {true, false}) {
        vexa::ByteBuffer bytes;
        if (!bytes.assignHex(text, withBlanks)) continue;
        // What parses must survive a round trip through both hex forms.
        vexa::ByteBuffer again;
        if (!again.assignHex(bytes.toHex(withBlanks), withBlanks) || !(again == bytes)) std::abort();
        if (!again.assignHex(vexa::bytesToHex(bytes.bytes(), withBlanks), withBlanks) || !(again == bytes))
            std::abort();
    }
    for (bool withBlanks : {true, false}) {
        vexa::ByteBuffer strict;
        if (!strict.assignStrictHex(text, withBlanks)) {
            if (strict.isNonEmpty()) std::abort(); // refused input leaves nothing behind
            continue;
        }
        // The strict form is a subset of the lenient one: same bytes.
        vexa::ByteBuffer lenient;
        if (!lenient.assignHex(text, withBlanks) || !(lenient == strict)) std::abort();
        // Both writers produce the strict form.
        vexa::ByteBuffer again;
        if (!again.assignStrictHex(strict.toHex(withBlanks), withBlanks) || !(again == strict)) std::abort();
        if (!again.assignStrictHex(vexa::bytesToHex(strict.bytes(), withBlanks), withBlanks) || !(again == strict))
            std::abort();
        // Exactly two digits per byte, and a blank between bytes.
        const std::size_t unit = withBlanks ? 3 : 2;
        if ((text.size() + unit - 1) / unit != strict.length()) std::abort();
    }
    std::int32_t value = 0;
    if (vexa::parseDecimal(text, value) && !text.empty()) {
        std::int32_t back = 0;
        if (!vexa::parseDecimal(vexa::signedDecimal(value), back) || back != value) std::abort();
    }
    vexa::convertGermanCharacters(std::string(text), size % 4);
    return 0;
}
