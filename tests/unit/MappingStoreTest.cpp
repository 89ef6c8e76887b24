// The mapping list and its store, against the real registry of the test prefix.
#include "../../mappings/MappingList.h"
#include "../../mappings/MappingRecord.h"
#include "../../mappings/MappingStore.h"
#include "../../framework/RegKey.h"
#include "TestApp.h"
#include <gtest/gtest.h>
#include <commctrl.h>
#include <climits>
#include <ostream>
#include <set>
#include <vector>

void PrintTo(const MappingEntry& e, std::ostream* out)
{
    *out << "{" << e.protocol << "|" << e.localPort << "|" << e.externalPort << "|" << e.internalIp
         << "|" << e.remark << "}";
}

namespace {

const char* kRoot = "Software\\Gatewright";
const char* kMapList = "Software\\Gatewright\\Gatewright\\MapList";
const char* kSettings = "Software\\Gatewright\\Gatewright\\Settings";

class MappingStoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TheTestApp();
        ::RegDeleteTreeA(HKEY_CURRENT_USER, kRoot);
        INITCOMMONCONTROLSEX classes = { sizeof classes, ICC_LISTVIEW_CLASSES };
        ::InitCommonControlsEx(&classes);
        m_hParent = ::CreateWindowA("STATIC", "", WS_OVERLAPPED, 0, 0, 400, 300, nullptr, nullptr,
                                    nullptr, nullptr);
        m_list.Attach(::CreateWindowA(WC_LISTVIEWA, "", WS_CHILD | LVS_REPORT | LVS_SORTDESCENDING,
                                      0, 0, 400, 300, m_hParent, nullptr, nullptr, nullptr));
        SetUpMappingList(m_list);
    }

    void TearDown() override { ::DestroyWindow(m_hParent); }

    static void SetDword(const char* key, const char* name, DWORD value)
    {
        CRegKey k;
        ASSERT_EQ(ERROR_SUCCESS, k.Create(HKEY_CURRENT_USER, key));
        k.SetDWORD(name, value);
    }

    static void SetString(const char* key, const char* name, const char* value)
    {
        CRegKey k;
        ASSERT_EQ(ERROR_SUCCESS, k.Create(HKEY_CURRENT_USER, key));
        k.SetString(name, value);
    }

    static std::string GetString(const char* name)
    {
        CRegKey k;
        std::string value = "<absent>";
        if (k.Open(HKEY_CURRENT_USER, kMapList, KEY_READ) == ERROR_SUCCESS)
            k.QueryString(name, &value);
        return value;
    }

    static std::set<std::string> ValueNames(const char* key)
    {
        CRegKey k;
        std::set<std::string> names;
        std::string name;
        if (k.Open(HKEY_CURRENT_USER, key, KEY_READ) == ERROR_SUCCESS) {
            for (DWORD i = 0; k.EnumValueName(i, &name) == ERROR_SUCCESS; ++i)
                names.insert(name);
        }
        return names;
    }

    static DWORD GetDword(const char* key, const char* name)
    {
        CRegKey k;
        DWORD value = 0xDEADBEEF;
        if (k.Open(HKEY_CURRENT_USER, key, KEY_READ) == ERROR_SUCCESS)
            k.QueryDWORD(name, &value);
        return value;
    }

    // The rows as the list shows them, uncut.
    std::vector<MappingEntry> Rows() const
    {
        std::vector<MappingEntry> rows;
        for (int i = 0; i < m_list.GetItemCount(); ++i) {
            std::string cells[5];
            for (int c = 0; c < 5; ++c) {
                char text[4096];
                m_list.GetItemText(i, c, text, sizeof text);
                cells[c] = text;
            }
            rows.push_back({ cells[0], cells[1], cells[2], cells[3], cells[4] });
        }
        return rows;
    }

    HWND m_hParent = nullptr;
    CListCtrl m_list;
};

TEST_F(MappingStoreTest, AwkwardRowsAreStoredByteForByteAndLoadBackSorted)
{
    // 130 bytes of remark: the 127-byte cut falls inside the last double-byte character.
    std::string longRemark = std::string(126, 'r') + "网络";
    AppendMappingEntry(m_list, { "TCP", "8080", "80", "198.18.0.10", "web" });
    AppendMappingEntry(m_list, { "TCP", "8081", "81", "198.18.0.10", "" });
    AppendMappingEntry(m_list, { "UDP", "123456789012", "3389", "198.18.0.11", longRemark });
    AppendMappingEntry(m_list, { "TCP", "1", "2", "198.18.0.12", "a|b" });
    MappingStore::Save(m_list, "15");

    // The control keeps UDP rows on top; the store follows the rows as shown.
    EXPECT_EQ(4u, GetDword(kMapList, "ListCount"));
    EXPECT_EQ("UDP|123456789|3389|198.18.0.11|" + std::string(126, 'r'), GetString("0"));
    std::set<std::string> tcpRecords = { GetString("1"), GetString("2"), GetString("3") };
    EXPECT_EQ((std::set<std::string>{ "TCP|8080|80|198.18.0.10|web", "TCP|8081|81|198.18.0.10|",
                                      "TCP|1|2|198.18.0.12|a|b" }),
              tcpRecords);
    EXPECT_EQ(15u, GetDword(kSettings, "timer"));

    CListCtrl& list = m_list;
    while (list.GetItemCount() > 0)
        list.DeleteItem(0);
    MappingStore::LoadEntries(list);
    std::vector<MappingEntry> rows = Rows();
    ASSERT_EQ(4u, rows.size());
    EXPECT_EQ((MappingEntry{ "UDP", "123456789", "3389", "198.18.0.11", std::string(126, 'r') }), rows[0]);
    for (size_t i = 1; i < rows.size(); ++i) {
        EXPECT_EQ("TCP", rows[i].protocol);
        if (rows[i].localPort == "1") {
            EXPECT_EQ("a", rows[i].remark) << "the remark ends at the fifth separator";
        }
        if (rows[i].localPort == "8081") {
            EXPECT_EQ("", rows[i].remark);
        }
    }
}

TEST_F(MappingStoreTest, SplitMovesByWholeGbkCharacters)
{
    // 81 7C is one GBK character whose trail byte is "|".
    EXPECT_EQ((MappingEntry{ "TCP", "1", "2", "3.3.3.3", "\x81\x7C" "x" }),
              MappingStore::ParseRecord("TCP|1|2|3.3.3.3|\x81\x7C" "x"));
    EXPECT_EQ((MappingEntry{ "no separator", "", "", "", "" }), MappingStore::ParseRecord("no separator"));
    EXPECT_EQ((MappingEntry{ "", "", "", "", "" }), MappingStore::ParseRecord(""));
    EXPECT_EQ((MappingEntry{ "UDP", "5", "", "", "" }), MappingStore::ParseRecord("UDP|5"));
}

TEST_F(MappingStoreTest, RecordIsReadNoFurtherThanItsLongestByWholeCharacters)
{
    const std::string head = "TCP|1|2|3.3.3.3|";
    // The record ends at the limit, then its last character one byte past it.
    const size_t fill = kLongestRecordBytes - head.size() - 4;
    const std::string whole = std::string(fill, 'r') + "网络";
    EXPECT_EQ(whole, MappingStore::ParseRecord(head + whole).remark);
    EXPECT_EQ("r" + whole.substr(0, fill + 2), MappingStore::ParseRecord(head + "r" + whole).remark);
    EXPECT_EQ(std::string(kLongestRecordBytes, 'p'), MappingStore::ParseRecord(std::string(5000, 'p')).protocol);
}

TEST_F(MappingStoreTest, MissingRecordsLoadAsEmptyRowsAndRecordsWithoutSeparatorAsProtocolOnly)
{
    SetDword(kMapList, "ListCount", 3);
    SetString(kMapList, "0", "TCP|80|80|198.18.0.2|web");
    SetString(kMapList, "1", "lonely");
    MappingStore::LoadEntries(m_list);

    // Sorted descending by protocol text, without regard to case.
    std::vector<MappingEntry> rows = Rows();
    ASSERT_EQ(3u, rows.size());
    EXPECT_EQ((MappingEntry{ "TCP", "80", "80", "198.18.0.2", "web" }), rows[0]);
    EXPECT_EQ((MappingEntry{ "lonely", "", "", "", "" }), rows[1]);
    EXPECT_EQ((MappingEntry{ "", "", "", "", "" }), rows[2]);
}

TEST_F(MappingStoreTest, CorruptCountsLoadOnlyTheRecordsThatAreThere)
{
    for (DWORD count : { 0xFFFFFFFFu, 0x80000000u, 1000000u }) {
        SetDword(kMapList, "ListCount", count);
        SetString(kMapList, "0", "TCP|80|80|198.18.0.2|a");
        SetString(kMapList, "1", "UDP|81|81|198.18.0.2|b");
        while (m_list.GetItemCount() > 0)
            m_list.DeleteItem(0);
        MappingStore::LoadEntries(m_list);
        EXPECT_EQ(2, m_list.GetItemCount()) << count;
    }
}

TEST_F(MappingStoreTest, ValuesOfTheWrongTypeReadAsAbsent)
{
    SetString(kMapList, "ListCount", "2");
    SetString(kMapList, "0", "TCP|80|80|198.18.0.2|a");
    SetString(kSettings, "timer", "5");
    MappingStore::LoadEntries(m_list);
    EXPECT_EQ(0, m_list.GetItemCount());
    EXPECT_EQ(10, MappingStore::LoadInterval());

    SetDword(kMapList, "ListCount", 1);
    SetDword(kMapList, "0", 7);
    MappingStore::LoadEntries(m_list);
    ASSERT_EQ(1, m_list.GetItemCount());
    EXPECT_EQ((MappingEntry{ "", "", "", "", "" }), ReadMappingRow(m_list, 0));
}

TEST_F(MappingStoreTest, SaveRemovesStaleRecordsAndOtherValues)
{
    SetDword(kMapList, "ListCount", 5);
    for (const char* name : { "0", "1", "2", "3", "4", "junk" })
        SetString(kMapList, name, "TCP|1|1|1.1.1.1|old");
    AppendMappingEntry(m_list, { "TCP", "80", "80", "198.18.0.2", "" });
    AppendMappingEntry(m_list, { "TCP", "81", "81", "198.18.0.2", "" });
    MappingStore::Save(m_list, "10");
    EXPECT_EQ((std::set<std::string>{ "0", "1", "ListCount" }), ValueNames(kMapList));
    EXPECT_EQ(2u, GetDword(kMapList, "ListCount"));

    while (m_list.GetItemCount() > 0)
        m_list.DeleteItem(0);
    MappingStore::Save(m_list, "10");
    EXPECT_EQ((std::set<std::string>{ "ListCount" }), ValueNames(kMapList));
    EXPECT_EQ(0u, GetDword(kMapList, "ListCount"));
}

TEST_F(MappingStoreTest, IntervalIsStoredAsConvertedAndReadBackAtLeastOne)
{
    EXPECT_EQ(10, MappingStore::LoadInterval()) << "absent";
    const struct { const char* text; int stored; int loaded; } cases[] = {
        { "", 0, 1 }, { "0", 0, 1 }, { "7", 7, 7 }, { "  42x", 42, 42 }, { "-5", -5, 1 },
        { "abc", 0, 1 }, { "99999999999", INT_MAX, INT_MAX }, { "4044444444", INT_MAX, INT_MAX },
        { "2147483648", INT_MAX, INT_MAX }, { "-2147483649", INT_MIN, 1 },
    };
    for (const auto& c : cases) {
        MappingStore::Save(m_list, c.text);
        EXPECT_EQ(static_cast<DWORD>(c.stored), GetDword(kSettings, "timer")) << c.text;
        EXPECT_EQ(c.loaded, MappingStore::LoadInterval()) << c.text;
    }
}

TEST_F(MappingStoreTest, ListHasItsFiveColumnsAndFullRowGridStyle)
{
    const char* headers[] = { "协议", "本机端口", "外网端口", "IP地址", "备注" };
    const int widths[] = { 60, 70, 70, 106, 120 };
    const int formats[] = { LVCFMT_CENTER, LVCFMT_CENTER, LVCFMT_CENTER, LVCFMT_LEFT, LVCFMT_LEFT };
    for (int i = 0; i < 5; ++i) {
        char text[64] = {};
        LVCOLUMNA column = {};
        column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
        column.pszText = text;
        column.cchTextMax = sizeof text;
        ASSERT_TRUE(m_list.SendMessage(LVM_GETCOLUMNA, i, reinterpret_cast<LPARAM>(&column)));
        EXPECT_STREQ(headers[i], text);
        EXPECT_EQ(widths[i], column.cx);
        if (i > 0) {  // the control shows column 0 left-aligned whatever is asked
            EXPECT_EQ(formats[i], column.fmt & LVCFMT_JUSTIFYMASK);
        }
    }
    DWORD style = static_cast<DWORD>(m_list.SendMessage(LVM_GETEXTENDEDLISTVIEWSTYLE));
    EXPECT_EQ(static_cast<DWORD>(LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT),
              style & (LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT));
}

TEST(CutToBytes, NeverSplitsADoubleByteCharacter)
{
    EXPECT_EQ("ab", CutToBytes("abc", 2));
    EXPECT_EQ("a", CutToBytes("a网", 2));
    EXPECT_EQ("a网", CutToBytes("a网", 3));
    EXPECT_EQ("", CutToBytes("网", 1));
    EXPECT_EQ("short", CutToBytes("short", 127));
}

TEST(AdoptedRow, TakesOnlyWhatTheAddDialogTakesAndADescriptionThatStoresWhole)
{
    // Stored and read back, the remark would end at a "|" of its own; 81 7C is one GBK character.
    EXPECT_EQ("a/b/\x81\x7C" "c", AsRemark("a|b|\x81\x7C" "c"));
    MappingEntry adopted = { "TCP", "80", "8080", "198.18.0.2", AsRemark("web|admin") };
    EXPECT_EQ(adopted, MappingStore::ParseRecord("TCP|80|8080|198.18.0.2|" + adopted.remark));
    EXPECT_EQ(std::string(127, 'x'), AsRemark(std::string(200, 'x')));

    EXPECT_TRUE(IsTypableRow(adopted));
    const MappingEntry refused[] = { { "ICMP", "80", "8080", "198.18.0.2", "" }, { "tcp", "80", "8080", "198.18.0.2", "" },
                                     { "TCP", "0", "8080", "198.18.0.2", "" },   { "UDP", "80", "70000", "198.18.0.2", "" },
                                     { "TCP", "80", "8080", "router", "" },      { "TCP", "80", "8080", "", "" } };
    for (const MappingEntry& row : refused)
        EXPECT_FALSE(IsTypableRow(row)) << row.protocol << " " << row.localPort << " " << row.externalPort << " "
                                        << row.internalIp;
}

}

namespace {

// Makes only the first so many changes of a save, as if the process were
// killed right after the last of them.
class CKilledWriter : public CProfileWriter {
public:
    explicit CKilledWriter(int changes) : m_nLeft(changes) {}
    void DeleteSection(const char* section) override
    {
        if (Go())
            CProfileWriter::DeleteSection(section);
    }
    void DeleteEntry(const char* section, const char* entry) override
    {
        if (Go())
            CProfileWriter::DeleteEntry(section, entry);
    }
    void WriteInt(const char* section, const char* entry, int value) override
    {
        if (Go())
            CProfileWriter::WriteInt(section, entry, value);
    }
    void WriteString(const char* section, const char* entry, const char* value) override
    {
        if (Go())
            CProfileWriter::WriteString(section, entry, value);
    }
    bool Killed() const { return m_nLeft < 0; }

private:
    bool Go() { return m_nLeft-- > 0; }
    int m_nLeft;
};

class StoreKillTest : public MappingStoreTest {
protected:
    std::vector<MappingEntry> Loaded()
    {
        m_list.SendMessage(LVM_DELETEALLITEMS);
        MappingStore::LoadEntries(m_list);
        return Rows();
    }
    static void SaveWhole(const std::vector<MappingEntry>& entries)
    {
        CProfileWriter writer;
        MappingStore::SaveEntries(entries, writer);
    }
    // Saves, killed after the given number of changes; true when the kill came first.
    static bool SaveKilled(const std::vector<MappingEntry>& entries, int changes)
    {
        CKilledWriter writer(changes);
        MappingStore::SaveEntries(entries, writer);
        return writer.Killed();
    }
};

TEST_F(StoreKillTest, SaveKilledAfterAnyChangeLeavesTheOldOrTheNewListWholeAndSoDoesTheNextSave)
{
    const std::vector<MappingEntry> lists[3] = {
        { { "TCP", "80", "8080", "198.18.0.2", "old one" }, { "UDP", "81", "8081", "198.18.0.2", "" },
          { "TCP", "82", "8082", "198.18.0.3", "old three" } },
        { { "UDP", "90", "9090", "198.18.0.4", "new" } },
        { { "TCP", "70", "7070", "198.18.0.5", "" }, { "TCP", "71", "7071", "198.18.0.5", "next" } },
    };
    std::vector<MappingEntry> whole[3];
    for (int i = 0; i < 3; ++i) {
        SaveWhole(lists[i]);
        whole[i] = Loaded();
    }
    EXPECT_TRUE(ValueNames("Software\\Gatewright\\Gatewright\\MapList.new").empty()) << "a whole save leaves no new list";

    bool firstKilled = true;
    for (int first = 0; firstKilled; ++first) {
        bool secondKilled = true;
        for (int second = 0; secondKilled; ++second) {
            SaveWhole(lists[0]);
            firstKilled = SaveKilled(lists[1], first);
            std::vector<MappingEntry> afterFirst = Loaded();
            ASSERT_TRUE(afterFirst == whole[0] || afterFirst == whole[1]) << "killed after change " << first;
            // The next save starts from whatever the kill left.
            secondKilled = SaveKilled(lists[2], second);
            std::vector<MappingEntry> afterSecond = Loaded();
            ASSERT_TRUE(afterSecond == afterFirst || afterSecond == whole[2])
                << "killed after change " << first << ", then after change " << second;
        }
        EXPECT_EQ(whole[2], Loaded()) << "a whole save after a kill stores its list";
    }
}

TEST(MappingEntry, PortIsAWholeNumberFromOneTo65535)
{
    for (const char* good : { "1", "80", "080", "65535", "0000065535" })
        EXPECT_TRUE(IsValidPort(good)) << good;
    for (const char* bad : { "", "0", "000", "65536", "99999", "100000", "8|0", " 80", "80 ", "-1", "+80", "8a" })
        EXPECT_FALSE(IsValidPort(bad)) << bad;
}

}
