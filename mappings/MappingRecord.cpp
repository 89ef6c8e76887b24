#include "MappingRecord.h"
#include <algorithm>
#include <climits>
#include <cstdlib>

namespace {
const char kSeparator = '|';
const int kFieldCount = 5;

const char* NextCharacter(const char* p, LeadByteTest isLeadByte)
{
    return isLeadByte(static_cast<unsigned char>(*p)) && p[1] ? p + 2 : p + 1;
}
}

MappingEntry ParseMappingRecord(const std::string& record, LeadByteTest isLeadByte)
{
    std::string fields[kFieldCount];
    int field = 0;
    const char* begin = record.c_str();
    const char* start = begin;
    const char* p = begin;
    for (const char* next; *p && field < kFieldCount; p = next) {
        next = NextCharacter(p, isLeadByte);
        if (static_cast<size_t>(next - begin) > kLongestRecordBytes)
            break;
        if (*p == kSeparator) {
            fields[field++].assign(start, p);
            start = p + 1;
        }
    }
    if (field < kFieldCount)
        fields[field].assign(start, p);
    return { fields[0], fields[1], fields[2], fields[3], fields[4] };
}

std::string FormatMappingRecord(const MappingEntry& entry)
{
    return entry.protocol + kSeparator + entry.localPort + kSeparator + entry.externalPort + kSeparator
        + entry.internalIp + kSeparator + entry.remark;
}

int ParseIntervalText(const std::string& text)
{
    // Held within an int's range here: long, strtol's, is 32 bits on Windows only.
    long long value = std::strtoll(text.substr(0, kLongestIntervalText).c_str(), nullptr, 10);
    return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}
