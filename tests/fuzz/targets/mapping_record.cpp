// A record of the list as the registry holds it, split as the program splits
// it, in code page 936 (GBK: a byte from 0x81 to 0xFE leads two).
#include "FuzzInput.h"
#include "../../../mappings/MappingRecord.h"

namespace {
bool IsGbkLeadByte(unsigned char byte)
{
    return byte >= 0x81 && byte <= 0xFE;
}

// Whether text ends in a byte that would lead a character with what follows.
bool EndsInLeadByte(const std::string& text)
{
    bool bLead = false;
    for (size_t i = 0; i < text.size(); i += bLead ? 2 : 1)
        bLead = IsGbkLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < text.size();
    return !text.empty() && IsGbkLeadByte(static_cast<unsigned char>(text.back())) && !bLead;
}
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size)
{
    std::string record(reinterpret_cast<const char*>(data), size);
    MappingEntry entry = ParseMappingRecord(record, IsGbkLeadByte);
    std::string fields[] = { entry.protocol, entry.localPort, entry.externalPort, entry.internalIp, entry.remark };
    size_t total = 0;
    for (const std::string& field : fields)
        total += field.size();
    FUZZ_CHECK(total <= kLongestRecordBytes);
    // What the program stores of a row it read loads back the same, unless a
    // field before the remark ends in half a character, which no typed row holds.
    std::string stored = FormatMappingRecord(entry);
    bool bHalfCharacter = false;
    for (size_t i = 0; i + 1 < sizeof fields / sizeof fields[0]; ++i)
        bHalfCharacter = bHalfCharacter || EndsInLeadByte(fields[i]);
    if (!bHalfCharacter && stored.size() <= kLongestRecordBytes)
        FUZZ_CHECK(ParseMappingRecord(stored, IsGbkLeadByte) == entry);
    return 0;
}
