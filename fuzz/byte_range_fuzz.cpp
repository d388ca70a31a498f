// Range header values over arbitrary bytes: a partial answer always lies inside the resource.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "http/byte_range.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string value(reinterpret_cast<const char*>(data), size);
    for (int64_t length : {int64_t{0}, int64_t{1}, int64_t{1000}, int64_t{INT32_MAX}}) {
        ByteRange range = httpParseByteRange(value.c_str(), length);
        if (range.kind == ByteRangeKind::Partial &&
            (range.first < 0 || range.length < 1 || range.first + range.length > length)) {
            __builtin_trap();
        }
    }
    return 0;
}
