#include "MappingEntry.h"
#include <cstdlib>

bool IsValidPort(const std::string& text)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    size_t first = text.find_first_not_of('0');
    // More than five significant digits cannot be a port, and would overflow below.
    if (first == std::string::npos || text.size() - first > 5)
        return false;
    return std::atol(text.c_str() + first) <= 65535;
}
