// Chunked request bodies over arbitrary bytes: the decoded part never overtakes the framing,
// and a body that arrives in two pieces decodes as when it arrives whole.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "http/chunked_body.h"

namespace {

HttpChunked decode(std::vector<char>& body, size_t firstPiece, HttpChunkedScan* scan) {
    HttpChunked state = HttpChunked::More;
    if (firstPiece < body.size()) {
        state = httpDecodeChunked(body.data(), static_cast<int32_t>(firstPiece), 1000, scan);
    }
    if (state == HttpChunked::More) {
        state = httpDecodeChunked(body.data(), static_cast<int32_t>(body.size()), 1000, scan);
    }
    if (scan->decoded < 0 || scan->decoded > 1000 || scan->decoded > scan->next ||
        scan->next > static_cast<int32_t>(body.size())) {
        __builtin_trap();
    }
    return state;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 65536) {
        return 0;
    }
    std::vector<char> whole(data, data + size);
    std::vector<char> split = whole;
    HttpChunkedScan wholeScan{};
    HttpChunkedScan splitScan{};
    HttpChunked a = decode(whole, size, &wholeScan);
    HttpChunked b = decode(split, data[0] % size, &splitScan);
    if (a == HttpChunked::Done &&
        (b != HttpChunked::Done || wholeScan.decoded != splitScan.decoded ||
         std::memcmp(whole.data(), split.data(), static_cast<size_t>(wholeScan.decoded)) != 0)) {
        __builtin_trap();
    }
    return 0;
}
