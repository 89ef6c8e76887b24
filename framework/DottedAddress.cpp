#include "DottedAddress.h"
#include "Format.h"

bool ParseDottedAddress(const char* text, DWORD* address)
{
    DWORD value = 0;
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
    DWORD first, second;
    if (ParseDottedAddress(a.c_str(), &first) && ParseDottedAddress(b.c_str(), &second))
        return first == second;
    return a == b;
}

std::string DottedText(DWORD address)
{
    if (!address)
        return std::string();
    return FormatText("%lu.%lu.%lu.%lu", address >> 24, address >> 16 & 0xff, address >> 8 & 0xff, address & 0xff);
}
