#pragma once
#include "MappingEntry.h"
#include "../framework/ListCtrl.h"
#include <string>

#include <vector>

// Every registry change a save makes, one call each, under the application's
// profile root. A test puts in one that stops part way, as a kill would.
class CProfileWriter {
public:
    virtual ~CProfileWriter() = default;
    virtual void DeleteSection(const char* section);
    virtual void DeleteEntry(const char* section, const char* entry);
    virtual void WriteInt(const char* section, const char* entry, int value);
    virtual void WriteString(const char* section, const char* entry, const char* value);
};

// The mapping list and the refresh interval in the per-user registry, under the
// application's profile root: "MapList" holds "ListCount" and the records "0",
// "1", ... as "protocol|localPort|externalPort|internalIp|remark"; "Settings"
// holds "timer". Read once at start-up; written when they change and at close.
//
// A save cut short at any point leaves the old list or the new one: the new
// list is first written whole to "MapList.new", whose "ListCount", written
// last, makes it the list that loads until "MapList" holds it too.
class MappingStore {
public:
    // The stored interval in seconds: 10 when absent, at least 1.
    static int LoadInterval();
    // Appends the stored entries to the list, in stored order.
    static void LoadEntries(const CListCtrl& list);
    // Replaces the stored list by the list's rows and stores the interval text
    // converted to a number (ParseIntervalText: its leading digits; 0 when there are none).
    static void Save(const CListCtrl& list, const std::string& intervalText);
    static void SaveList(const CListCtrl& list);
    static void SaveInterval(const std::string& intervalText);
    static void SaveEntries(const std::vector<MappingEntry>& entries, CProfileWriter& writer);

    // ParseMappingRecord by whole characters of the ANSI code page.
    static MappingEntry ParseRecord(const std::string& record);

private:
    static DWORD RowsToLoad(const char* section, DWORD storedCount);
    static bool HasWholeNewList();
    static void WriteEntries(const char* section, const std::vector<MappingEntry>& entries,
                             CProfileWriter& writer);
};
