// Deciphering: cipher texts come from pages, servers and users' files.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#include "support/cipher.h"
#include "support/text.h"

namespace {

constexpr std::string_view kKey = "p3w7m2qxtr516vb4";

void decipherAnything(std::string_view text) {
    vexa::ByteBuffer bytes;
    if (vexa::decipherBytes(text, kKey, bytes) && bytes.length() > text.size() / 2) std::abort();
    if (!vexa::decipherBytes(text, kKey, bytes, 7) && bytes.isNonEmpty()) std::abort();
    if (bytes.length() > 7) std::abort();
    std::string plain;
    vexa::decipherText(text, kKey, plain);
    // What passes as whole is exactly what enciphering that text gives.
    std::string whole, again;
    const std::string flaw = vexa::decipherWholeText(text, kKey, whole);
    if (whole.size() > text.size() / 2) std::abort();
    if (flaw.empty() && (!vexa::encipherText(whole, kKey, again) || !vexa::textEqualsNoCase(again, text))) std::abort();
    vexa::TlvBuffer buffer;
    if (vexa::decipherTlv(text, kKey, buffer)) {
        std::uint8_t tag = 0;
        vexa::ByteBuffer value;
        while (buffer.get(tag, value)) {
        }
    }
}

void roundTrip(std::span<const std::uint8_t> input) {
    std::string cipherText;
    if (!vexa::encipherBytes(input, kKey, cipherText)) {
        if (!input.empty()) std::abort();
        return;
    }
    if (cipherText.size() != 2 * (input.size() + 20)) std::abort();
    vexa::ByteBuffer back;
    if (!vexa::decipherBytes(cipherText, kKey, back)) std::abort();
    if (!std::equal(input.begin(), input.end(), back.bytes().begin(), back.bytes().end())) std::abort();

    const std::string_view text(reinterpret_cast<const char*>(input.data()), input.size());
    std::string plain;
    if (!vexa::encipherText(text, kKey, cipherText) || !vexa::decipherText(cipherText, kKey, plain)) std::abort();
    if (plain != text.substr(0, text.find('\0'))) std::abort();
    std::string whole;
    const bool isText = text.find('\0') == std::string_view::npos;
    if (isText && (!vexa::decipherWholeText(cipherText, kKey, whole).empty() || whole != plain)) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    decipherAnything(std::string_view(reinterpret_cast<const char*>(data), size));
    roundTrip({data, size});
    return 0;
}
