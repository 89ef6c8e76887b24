#pragma once
// A row of the list as the registry stores it, "protocol|localPort|
// externalPort|internalIp|remark", and the refresh interval's text, read
// without Windows so that what the registry holds can be fed to them natively.
#include "MappingEntry.h"
#include <string>

// Whether a byte leads a double-byte character of the code page the texts are in.
typedef bool (*LeadByteTest)(unsigned char byte);

// A row of cells as the list keeps them makes a record of 191 bytes at most;
// a record is read no further than this, by whole characters.
const size_t kLongestRecordBytes = 1024;
// An edit box's default limit: interval text past it is not read.
const size_t kLongestIntervalText = 32767;

// Splits a record at "|", moving by whole characters, so that the trail byte
// of a double-byte character is never taken for one.
MappingEntry ParseMappingRecord(const std::string& record, LeadByteTest isLeadByte);
std::string FormatMappingRecord(const MappingEntry& entry);
// atoi's reading of the interval text, held within the range of an int.
int ParseIntervalText(const std::string& text);
