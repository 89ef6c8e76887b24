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
