#pragma once
#include <string>

// One mapping, five texts in list-column order. Nothing is parsed: ports and
// addresses stay exactly as typed.
struct MappingEntry {
    std::string protocol;      // "TCP" or "UDP"
    std::string localPort;
    std::string externalPort;
    std::string internalIp;
    std::string remark;
};

// A port as the router takes it: a whole number from 1 to 65535, in digits
// only (leading zeros allowed, as typed).
bool IsValidPort(const std::string& text);

inline bool operator==(const MappingEntry& a, const MappingEntry& b)
{
    return a.protocol == b.protocol && a.localPort == b.localPort && a.externalPort == b.externalPort
        && a.internalIp == b.internalIp && a.remark == b.remark;
}
