// The refresh interval's text, read as the program reads it.
#include "FuzzInput.h"
#include "../../../mappings/MappingRecord.h"
#include <cctype>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    int interval = ParseIntervalText(text);
    // Past leading white space, only a minus sign makes it negative.
    size_t first = 0;
    while (first < text.size() && std::isspace(static_cast<unsigned char>(text[first])))
        ++first;
    if (first >= text.size() || text[first] != '-')
        FUZZ_CHECK(interval >= 0);
    else
        FUZZ_CHECK(interval <= 0);
    return 0;
}
