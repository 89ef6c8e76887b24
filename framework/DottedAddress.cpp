#include "DottedAddress.h"
#include <cstdio>

bool ParseDottedAddress(const char* text, std::uint32_t* address)
{
    std::uint32_t value = 0;
    const char* p = text;
    for (int part = 0; part < 4; ++part) {
        if (*p < '0' || *p > '9')
            return false;
        unsigned field = 0;
        int digits = 0;
        while (*p >= '0' && *p <= '9') {
            field = field * 10 + (*p++ - '0');
            if (++digits > 3 || field > 255)
                return false;
        }
        value = (value << 8) | field;
        if (part < 3 && *p++ != '.')
            return false;
    }
    if (*p != '\0')
        return false;
    *address = value;
    return true;
}

bool SameAddress(const std::string& a, const std::string& b)
{
    std::uint32_t first, second;
    if (ParseDottedAddress(a.c_str(), &first) && ParseDottedAddress(b.c_str(), &second))
        return first == second;
    return a == b;
}

std::string DottedText(std::uint32_t address)
{
    if (!address)
        return std::string();
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", unsigned(address >> 24), unsigned(address >> 16 & 0xff),
                  unsigned(address >> 8 & 0xff), unsigned(address & 0xff));
    return text;
}
