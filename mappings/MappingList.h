#pragma once
#include "MappingEntry.h"
#include "../framework/ListCtrl.h"

// Columns of the mapping list: protocol, local port, external port, internal
// address, remark.
enum MappingColumn { kColProtocol, kColLocalPort, kColExternalPort, kColInternalIp, kColRemark };

// The most bytes of a remark that the list and the store keep.
const int kRemarkBytes = 127;

// Gives list control 1002 its extended styles, its five columns and the
// images of the row states (RowState's order: not active, live, failed, held).
void SetUpMappingList(const CListCtrl& list);
// Appends a row; the sorted list places it, and its cells follow it there.
void AppendMappingEntry(const CListCtrl& list, const MappingEntry& entry);
// The row's cells, each cut to the bytes its buffer holds (3, 9, 9, 39 and 127),
// never in the middle of a double-byte character.
MappingEntry ReadMappingRow(const CListCtrl& list, int row);
// The same without the remark, which the gateway never sees.
MappingEntry ReadMappingTarget(const CListCtrl& list, int row);
// The longest start of text that fits maxBytes bytes without splitting a character.
std::string CutToBytes(const std::string& text, size_t maxBytes);
// Whether text holds a "|" of its own, which separates a stored record's
// fields (the trail byte of a double-byte character may be one and is not).
bool HasSeparator(const std::string& text);
// Text from elsewhere (a router's description) as a remark may hold it:
// each "|" of its own made "/", and cut to kRemarkBytes.
std::string AsRemark(const std::string& text);
// The row is what the add dialog accepts: TCP or UDP, ports from 1 to 65535,
// an IPv4 address (the remark aside).
bool IsTypableRow(const MappingEntry& row);
