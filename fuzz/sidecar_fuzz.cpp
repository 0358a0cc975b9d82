// The sidecar reader on any text.
#include <cstdint>
#include <string>

#include "tiledir.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    sidecar s{};
    parsesidecar(std::string(reinterpret_cast<const char *>(data), size), &s);
    return 0;
}
