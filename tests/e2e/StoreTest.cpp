// The mapping list and the interval: from the registry into the window at
// start-up, and back at close.
#include "Harness.h"
#include <set>

namespace {

const int kInterval = 1007;

const char* kMapList = "Software\\Gatewright\\Gatewright\\MapList";
const char* kSettings = "Software\\Gatewright\\Gatewright\\Settings";

class StoreTest : public AppTest {
protected:
    std::set<std::string> StoredRecords()
    {
        std::set<std::string> records;
        std::string count = m_driver.Call(std::string("reg-get ") + kMapList + " ListCount");
        for (int i = 0; count.compare(0, 6, "dword ") == 0 && i < std::stoi(count.substr(6)); ++i)
            records.insert(m_driver.Call(std::string("reg-get ") + kMapList + " " + std::to_string(i)));
        return records;
    }

    void CloseAfterDiscovery()
    {
        ASSERT_TRUE(WaitForGateway());
        ASSERT_TRUE(CloseProgram());
    }
};

TEST_F(StoreTest, SeededRowsAppearWithUdpOnTopAndCloseWritesThemBack)
{
    SeedRows({ "TCP|8080|18080|198.18.0.2|web 服务", "UDP|5000|15000|198.18.0.2|", "TCP|22|10022|198.18.0.3|a|b" });
    m_driver.Call(std::string("reg-dword ") + kSettings + " timer 7");
    Launch();

    std::vector<std::string> rows = ListRows();
    ASSERT_EQ(3u, rows.size());
    EXPECT_EQ("UDP\t5000\t15000\t198.18.0.2\t", rows[0]);
    EXPECT_EQ((std::set<std::string>{ "TCP\t8080\t18080\t198.18.0.2\tweb 服务", "TCP\t22\t10022\t198.18.0.3\ta" }),
              (std::set<std::string>{ rows[1], rows[2] }));
    EXPECT_EQ("7", m_driver.Text(kInterval));

    CloseAfterDiscovery();
    EXPECT_EQ("dword 3", m_driver.Call(std::string("reg-get ") + kMapList + " ListCount"));
    EXPECT_EQ("sz UDP|5000|15000|198.18.0.2|", m_driver.Call(std::string("reg-get ") + kMapList + " 0"));
    EXPECT_EQ((std::set<std::string>{ "sz UDP|5000|15000|198.18.0.2|", "sz TCP|8080|18080|198.18.0.2|web 服务",
                                      "sz TCP|22|10022|198.18.0.3|a" }),
              StoredRecords());
    EXPECT_EQ("0|1|2|ListCount", m_driver.Call(std::string("reg-names ") + kMapList));
    EXPECT_EQ("dword 7", m_driver.Call(std::string("reg-get ") + kSettings + " timer"));
}

TEST_F(StoreTest, EmptyIntervalIsStoredAsZeroAndShownAsOneNextTime)
{
    Launch();
    EXPECT_EQ("10", m_driver.Text(kInterval));
    EXPECT_EQ(0u, ListRows().size());
    m_driver.Call("set-text " + std::to_string(kInterval) + " ");
    CloseAfterDiscovery();
    EXPECT_EQ("dword 0", m_driver.Call(std::string("reg-get ") + kSettings + " timer"));
    EXPECT_EQ("dword 0", m_driver.Call(std::string("reg-get ") + kMapList + " ListCount"));
    EXPECT_EQ("ListCount", m_driver.Call(std::string("reg-names ") + kMapList));

    Launch();
    EXPECT_EQ("1", m_driver.Text(kInterval));
}

TEST_F(StoreTest, CorruptCountStillStartsWithTheStoredRows)
{
    SeedRows({ "TCP|8080|18080|198.18.0.2|one", "TCP|8081|18081|198.18.0.2|two" });
    m_driver.Call(std::string("reg-dword ") + kMapList + " ListCount 4294967295");
    Launch();
    EXPECT_EQ(2u, ListRows().size());
}

}

namespace {

TEST_F(StoreTest, EditsAreStoredAtOnceSoAKillLosesNothingAndARenamedCopyFindsThem)
{
    Launch();
    ASSERT_TRUE(WaitForGateway());
    m_driver.Command(32781);
    ASSERT_TRUE(m_driver.WaitDialog("添加映射端口", 5000));
    m_driver.Call("target popup");
    m_driver.Call("set-text 1015 8080");
    m_driver.Call("set-text 1016 18080");
    m_driver.Click(1019);
    m_driver.Call("target main");
    ASSERT_TRUE(WaitUntil([&] { return ListRows().size() == 1; }, 5000));
    m_driver.Call("kill");
    EXPECT_EQ((std::set<std::string>{ "sz TCP|8080|18080|198.18.0.2|" }), StoredRecords());

    // As a browser names a second download (the driver's paths take no blank).
    RunShell("mv '" + Folder() + "/Gatewright.exe' '" + Folder() + "/Gatewright(1).exe'");
    ASSERT_TRUE(m_driver.TryCall("launch " + WindowsPath(Folder() + "/Gatewright(1).exe")));
    ASSERT_TRUE(m_driver.TryCall("main 30000"));
    EXPECT_EQ((std::vector<std::string>{ "TCP\t8080\t18080\t198.18.0.2\t" }), ListRows());
}

}
