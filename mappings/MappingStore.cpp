#include "MappingStore.h"
#include "MappingList.h"
#include "../framework/App.h"
#include "../framework/Format.h"
#include "../framework/RegKey.h"
#include <climits>
#include <cstdlib>

namespace {
const char* kSettings = "Settings";
const char* kTimer = "timer";
const char* kMapList = "MapList";
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

DWORD MappingStore::RowsToLoad(DWORD storedCount)
{
    // A count no larger than the number of values in the key is trusted, and
    // missing records load as empty rows. A larger count cannot be right (it is
    // corrupt, or a negative number read as unsigned): then only the records
    // really there are loaded, so no count can make the start-up hang.
    CRegKey key;
    DWORD values = 0;
    if (key.Open(HKEY_CURRENT_USER, GetApp()->GetProfileKeyPath(kMapList).c_str(), KEY_READ)
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

void MappingStore::LoadEntries(const CListCtrl& list)
{
    DWORD count = static_cast<DWORD>(GetApp()->GetProfileInt(kMapList, kListCount, 0));
    if (count == 0)
        return;
    DWORD rows = RowsToLoad(count);
    for (DWORD i = 0; i < rows; ++i) {
        std::string record = GetApp()->GetProfileString(kMapList, RecordName(i).c_str(), "");
        AppendMappingEntry(list, ParseRecord(record));
    }
}

void MappingStore::Save(const CListCtrl& list, const std::string& intervalText)
{
    // The key this program reads, with everything in it: no stale record survives.
    std::string mapList = GetApp()->GetProfileKeyPath(kMapList);
    ::RegDeleteTreeA(HKEY_CURRENT_USER, mapList.c_str());

    GetApp()->WriteProfileInt(kMapList, kListCount, list.GetItemCount());
    for (int i = 0; i < list.GetItemCount(); ++i) {
        GetApp()->WriteProfileString(kMapList, RecordName(static_cast<DWORD>(i)).c_str(),
                                     FormatRecord(ReadMappingRow(list, i)).c_str());
    }
    GetApp()->WriteProfileInt(kSettings, kTimer, ParseInterval(intervalText));
}

MappingEntry MappingStore::ParseRecord(const std::string& record)
{
    std::string fields[5];
    int field = 0;
    const char* start = record.c_str();
    const char* p = start;
    for (; *p && field < 5; p = ::CharNextA(p)) {
        if (*p == '|') {
            fields[field++].assign(start, p);
            start = p + 1;
        }
    }
    if (field < 5)
        fields[field].assign(start, p);
    return { fields[0], fields[1], fields[2], fields[3], fields[4] };
}

std::string MappingStore::FormatRecord(const MappingEntry& entry)
{
    return FormatText("%s|%s|%s|%s|%s", entry.protocol.c_str(), entry.localPort.c_str(),
                      entry.externalPort.c_str(), entry.internalIp.c_str(), entry.remark.c_str());
}

int MappingStore::ParseInterval(const std::string& text)
{
    // long is 32 bits on Windows: strtol holds the value within an int's range.
    return static_cast<int>(std::strtol(text.c_str(), nullptr, 10));
}
