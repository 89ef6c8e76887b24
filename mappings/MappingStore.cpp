#include "MappingStore.h"
#include "MappingList.h"
#include "MappingRecord.h"
#include "../framework/App.h"
#include "../framework/Format.h"
#include "../framework/RegKey.h"
#include <climits>
#include <cstdlib>

namespace {
const char* kSettings = "Settings";
const char* kTimer = "timer";
const char* kMapList = "MapList";
const char* kNewMapList = "MapList.new";
const char* kListCount = "ListCount";
const int kDefaultInterval = 10;

// Records are named by their index in decimal.
std::string RecordName(DWORD index)
{
    return FormatText("%lu", static_cast<unsigned long>(index));
}

// The numbered record names are decimal without leading zeros; -1 for other names.
long RecordIndex(const std::string& name)
{
    if (name.empty() || name.size() > 10 || (name.size() > 1 && name[0] == '0'))
        return -1;
    for (char c : name) {
        if (c < '0' || c > '9')
            return -1;
    }
    long long index = std::atoll(name.c_str());
    return index > LONG_MAX ? -1 : static_cast<long>(index);
}
}

int MappingStore::LoadInterval()
{
    int interval = GetApp()->GetProfileInt(kSettings, kTimer, kDefaultInterval);
    return interval < 1 ? 1 : interval;
}

DWORD MappingStore::RowsToLoad(const char* section, DWORD storedCount)
{
    // A count no larger than the number of values in the key is trusted, and
    // missing records load as empty rows. A larger count cannot be right (it is
    // corrupt, or a negative number read as unsigned): then only the records
    // really there are loaded, so no count can make the start-up hang.
    CRegKey key;
    DWORD values = 0;
    if (key.Open(HKEY_CURRENT_USER, GetApp()->GetProfileKeyPath(section).c_str(), KEY_READ)
            != ERROR_SUCCESS
        || key.QueryValueCount(&values) != ERROR_SUCCESS)
        return 0;
    if (storedCount <= values)
        return storedCount;
    long highest = -1;
    std::string name;
    for (DWORD i = 0; key.EnumValueName(i, &name) == ERROR_SUCCESS; ++i) {
        long index = RecordIndex(name);
        if (index > highest && static_cast<DWORD>(index) < storedCount)
            highest = index;
    }
    return static_cast<DWORD>(highest + 1);
}

bool MappingStore::HasWholeNewList()
{
    // A whole new list that a save cut short had not yet moved into place.
    CRegKey key;
    return key.Open(HKEY_CURRENT_USER, GetApp()->GetProfileKeyPath(kNewMapList).c_str(), KEY_READ) == ERROR_SUCCESS
        && key.HasValue(kListCount);
}

void MappingStore::LoadEntries(const CListCtrl& list)
{
    const char* section = HasWholeNewList() ? kNewMapList : kMapList;
    DWORD count = static_cast<DWORD>(GetApp()->GetProfileInt(section, kListCount, 0));
    if (count == 0)
        return;
    DWORD rows = RowsToLoad(section, count);
    for (DWORD i = 0; i < rows; ++i) {
        std::string record = GetApp()->GetProfileString(section, RecordName(i).c_str(), "");
        AppendMappingEntry(list, ParseRecord(record));
    }
}

void MappingStore::Save(const CListCtrl& list, const std::string& intervalText)
{
    SaveList(list);
    SaveInterval(intervalText);
}

void MappingStore::SaveList(const CListCtrl& list)
{
    std::vector<MappingEntry> entries;
    for (int i = 0; i < list.GetItemCount(); ++i)
        entries.push_back(ReadMappingRow(list, i));
    CProfileWriter writer;
    SaveEntries(entries, writer);
}

void MappingStore::SaveInterval(const std::string& intervalText)
{
    GetApp()->WriteProfileInt(kSettings, kTimer, ParseIntervalText(intervalText));
}

void MappingStore::SaveEntries(const std::vector<MappingEntry>& entries, CProfileWriter& writer)
{
    // While "MapList" is what loads, it stays until the new list is whole
    // beside it; a whole new list left by a save cut short is what loads, and
    // "MapList" may be rewritten at once.
    if (!HasWholeNewList()) {
        writer.DeleteSection(kNewMapList);
        WriteEntries(kNewMapList, entries, writer);
    }
    WriteEntries(kMapList, entries, writer);
    // Its count first: without it the rest is never read.
    writer.DeleteEntry(kNewMapList, kListCount);
    writer.DeleteSection(kNewMapList);
}

void MappingStore::WriteEntries(const char* section, const std::vector<MappingEntry>& entries,
                                CProfileWriter& writer)
{
    // The key with everything in it: no stale record survives. The count last.
    writer.DeleteSection(section);
    for (size_t i = 0; i < entries.size(); ++i)
        writer.WriteString(section, RecordName(static_cast<DWORD>(i)).c_str(), FormatMappingRecord(entries[i]).c_str());
    writer.WriteInt(section, kListCount, static_cast<int>(entries.size()));
}

void CProfileWriter::DeleteSection(const char* section)
{
    ::RegDeleteTreeA(HKEY_CURRENT_USER, GetApp()->GetProfileKeyPath(section).c_str());
}

void CProfileWriter::DeleteEntry(const char* section, const char* entry)
{
    CRegKey key;
    if (key.Open(HKEY_CURRENT_USER, GetApp()->GetProfileKeyPath(section).c_str(), KEY_SET_VALUE) == ERROR_SUCCESS)
        key.DeleteValue(entry);
}

void CProfileWriter::WriteInt(const char* section, const char* entry, int value)
{
    GetApp()->WriteProfileInt(section, entry, value);
}

void CProfileWriter::WriteString(const char* section, const char* entry, const char* value)
{
    GetApp()->WriteProfileString(section, entry, value);
}

MappingEntry MappingStore::ParseRecord(const std::string& record)
{
    return ParseMappingRecord(record, [](unsigned char byte) { return ::IsDBCSLeadByte(byte) != FALSE; });
}
