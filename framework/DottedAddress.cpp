#include "DottedAddress.h"

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
