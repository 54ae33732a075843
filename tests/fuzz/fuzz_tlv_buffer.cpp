// TLV reading: requests and remote PC/SC messages arrive from outside.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "support/tlv_buffer.h"

namespace {

// Reads every element it can, writes them again into a buffer of the same
// capacity and checks that this reproduces the bytes the reader consumed.
void readAndRewrite(std::span<const std::uint8_t> input, vexa::TlvWidth width) {
    vexa::TlvBuffer reader(width);
    if (!reader.load(input)) std::abort();
    vexa::TlvBuffer writer(width);
    writer.allocate(reader.capacity());
    std::uint8_t tag = 0;
    vexa::ByteBuffer value;
    std::uint32_t consumed = 0;
    while (reader.get(tag, value)) {
        if (reader.usedSize() <= consumed || reader.usedSize() > reader.capacity()) std::abort();
        consumed = reader.usedSize();
        if (!writer.putByteBuffer(tag, value)) std::abort();
    }
    if (value.isNonEmpty() || reader.usedSize() > reader.capacity()) std::abort();
    if (writer.usedSize() != consumed) std::abort();
    if (!std::equal(writer.usedBytes().begin(), writer.usedBytes().end(), input.begin())) std::abort();

    reader.seekEnd();
    if (reader.usedSize() > reader.capacity()) std::abort();
    // Writing behind whatever seekEnd found must stay inside the array.
    reader.putText(0x01, "x");
    if (reader.usedSize() > reader.capacity()) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    readAndRewrite(input, vexa::TlvWidth::narrow);
    readAndRewrite(input, vexa::TlvWidth::wide);
    return 0;
}
