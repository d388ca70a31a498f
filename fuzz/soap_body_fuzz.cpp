// SOAP body preparation and argument lookup over arbitrary bytes.
#include <cstdint>
#include <cstring>
#include <vector>

#include "soap/soap_request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> body(data, data + size);
    body.push_back('\0');
    int length = soap_prepare_body(body.data());
    // Preparation only ever shortens the text.
    if (length < 0 || static_cast<size_t>(length) > size) {
        __builtin_trap();
    }
    for (const char* name : {"ObjectID", "BrowseFlag", "Filter", "SearchCriteria", "A", ""}) {
        const char* value = soap_get_arg(name, body.data(), length);
        if (value != nullptr && (value < body.data() || value >= body.data() + length)) {
            __builtin_trap();
        }
        soap_get_int_arg(name, body.data(), length);
    }
    return 0;
}
