// The deflate walk behind the joined PNG stream. Any bytes: the walk must
// stop, never read past them and never report an end beyond them. The same
// bytes deflated by libdeflate at any level, or by the default level's own
// encoder (first byte's top bit): once given a sync flush and an empty final
// block, the stream must inflate to exactly those bytes.

#include "core/png/sheetdeflate.h"
#include "core/png/zlibjoin.h"
#include "fuzzinput.h"

#include <libdeflate.h>

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // An exact-size copy, so that AddressSanitizer sees a read past the end.
    const std::vector<uint8_t> raw(data, data + size);
    size_t headerBit = 0, endBit = 0;
    if (ZlibJoin::findFinalBlock(raw.data(), raw.size(), &headerBit, &endBit) &&
        (headerBit >= endBit || endBit > raw.size() * 8))
        fuzzFail("a final block outside the bytes");

    FuzzInput input(data, size);
    const uint8_t choice = input.take8();
    const QByteArray payload = input.takeBytes(size);
    const auto *bytes = reinterpret_cast<const uint8_t *>(payload.constData());
    std::vector<uint8_t> stream;
    size_t streamSize = 0;
    if (choice & 0x80) {
        // Exactly the bound, and 2 more for the final block added below.
        stream.resize(SheetDeflate::bound(size_t(payload.size())) + 2);
        SheetDeflate::Encoder encoder(static_cast<SheetDeflate::Effort>(choice % 3));
        streamSize = encoder.deflate(bytes, size_t(payload.size()), false, stream.data());
        if (streamSize + 2 > stream.size())
            fuzzFail("the deflated bytes pass the bound");
    } else {
        libdeflate_compressor *compressor = libdeflate_alloc_compressor((choice & 0x7f) % 13);
        if (!compressor)
            fuzzFail("no compressor");
        const size_t bound = libdeflate_deflate_compress_bound(compressor, size_t(payload.size()));
        stream.resize(bound + 5 + 2);
        streamSize = libdeflate_deflate_compress(compressor, bytes, size_t(payload.size()),
                                                 stream.data(), bound);
        libdeflate_free_compressor(compressor);
        if (streamSize == 0 || !ZlibJoin::endWithSyncFlush(stream.data(), &streamSize))
            fuzzFail("the deflated bytes could not be made to continue");
    }
    // An empty fixed-Huffman final block: BFINAL, type 01, end-of-block.
    stream[streamSize++] = 0x03;
    stream[streamSize++] = 0x00;

    libdeflate_decompressor *decompressor = libdeflate_alloc_decompressor();
    std::vector<char> back(size_t(payload.size()) + 1);
    size_t backSize = 0;
    const libdeflate_result result = libdeflate_deflate_decompress(
        decompressor, stream.data(), streamSize, back.data(), back.size(), &backSize);
    libdeflate_free_decompressor(decompressor);
    if (result != LIBDEFLATE_SUCCESS || backSize != size_t(payload.size()) ||
        !std::equal(back.begin(), back.begin() + std::ptrdiff_t(backSize), payload.begin()))
        fuzzFail("the continued stream inflates to other bytes");
    return 0;
}
