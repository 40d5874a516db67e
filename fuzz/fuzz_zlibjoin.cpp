// The deflate walk behind the joined PNG stream. Any bytes: the walk must
// stop, never read past them and never report an end beyond them. The same
// bytes deflated by libdeflate at any level: once given a sync flush and an
// empty final block, the stream must inflate to exactly those bytes.

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
    const int level = int(input.take8() % 13);
    const QByteArray payload = input.takeBytes(size);
    libdeflate_compressor *compressor = libdeflate_alloc_compressor(level);
    if (!compressor)
        fuzzFail("no compressor");
    const size_t bound = libdeflate_deflate_compress_bound(compressor, size_t(payload.size()));
    std::vector<uint8_t> stream(bound + 5 + 2);
    size_t streamSize = libdeflate_deflate_compress(compressor, payload.constData(),
                                                    size_t(payload.size()), stream.data(), bound);
    libdeflate_free_compressor(compressor);
    if (streamSize == 0 || !ZlibJoin::endWithSyncFlush(stream.data(), &streamSize))
        fuzzFail("the deflated bytes could not be made to continue");
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
