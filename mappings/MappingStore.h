#pragma once
#include "MappingEntry.h"
#include "../framework/ListCtrl.h"
#include <string>

// The mapping list and the refresh interval in the per-user registry, under the
// application's profile root: "MapList" holds "ListCount" and the records "0",
// "1", ... as "protocol|localPort|externalPort|internalIp|remark"; "Settings"
// holds "timer". Read once at start-up, written once at close.
class MappingStore {
public:
    // The stored interval in seconds: 10 when absent, at least 1.
    static int LoadInterval();
    // Appends the stored entries to the list, in stored order.
    static void LoadEntries(const CListCtrl& list);
    // Replaces the stored list by the list's rows and stores the interval text
    // converted to a number (its leading digits; 0 when there are none).
    static void Save(const CListCtrl& list, const std::string& intervalText);

    // Splits a record at "|", moving by whole characters of the ANSI code page.
    static MappingEntry ParseRecord(const std::string& record);
    static std::string FormatRecord(const MappingEntry& entry);
    // atoi's reading of the interval text, held within the range of an int.
    static int ParseInterval(const std::string& text);

private:
    static DWORD RowsToLoad(DWORD storedCount);
};
