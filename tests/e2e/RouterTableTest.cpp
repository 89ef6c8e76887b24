// The router's whole table in its own window: every mapping with its owner,
// stale ones deleted, another host's taken into the list.
#include "Harness.h"

namespace {

const int kViewTable = 32796;
const int kTableList = 1030, kDelete = 1032, kAdopt = 1033, kStatus = 1034;
const int kIdYes = 6;
const std::string kCaption = "路由器上的映射";
const std::string kUpnpc = "exec lan upnpc -u http://198.18.0.1:5000/rootDesc.xml";

class RouterTableTest : public AppTest {
protected:
    // Opens the table's window and waits for its read.
    std::vector<std::string> OpenTable()
    {
        m_driver.Command(kViewTable);
        return ReadTable();
    }

    // The rows the window shows once its read has come.
    std::vector<std::string> ReadTable()
    {
        EXPECT_TRUE(m_driver.WaitDialog(kCaption, 5000));
        m_driver.Call("target popup");
        EXPECT_TRUE(WaitUntil([&] { return m_driver.Text(kStatus).rfind("共", 0) == 0; }, 10000))
            << m_driver.Text(kStatus);
        return ListRows(kTableList);
    }

    // The index of the row with the external port, -1 when none.
    static int IndexOf(const std::vector<std::string>& rows, const std::string& externalPort)
    {
        for (size_t row = 0; row < rows.size(); ++row) {
            if (rows[row].find("\t" + externalPort + "\t") != std::string::npos)
                return static_cast<int>(row);
        }
        return -1;
    }

    // The row's cells but the lease, which counts down.
    static std::string WithoutLease(const std::string& row)
    {
        size_t owner = row.rfind('\t');
        return row.substr(0, row.rfind('\t', owner - 1)) + row.substr(owner);
    }
};

TEST_F(RouterTableTest, ShowsEveryMappingWithItsOwnerDeletesAStaleOneAndTakesAnotherHostsIntoTheList)
{
    Router::Run(kUpnpc + " -e 'game server' -a 198.18.0.3 9000 18095 TCP");
    Router::Run(kUpnpc + " -e 'old install' -a 198.18.0.2 7000 17000 UDP");
    StartMapping({ "TCP|8080|18080|198.18.0.2|web" }, "30");
    std::vector<std::string> rows = OpenTable();
    ASSERT_EQ(3u, rows.size());
    EXPECT_EQ("TCP\t18080\t198.18.0.2\t8080\tGatewright\t本列表", WithoutLease(rows[IndexOf(rows, "18080")]));
    EXPECT_EQ("TCP\t18095\t198.18.0.3\t9000\tgame server\t其他主机", WithoutLease(rows[IndexOf(rows, "18095")]));
    EXPECT_EQ("UDP\t17000\t198.18.0.2\t7000\told install\t本机", WithoutLease(rows[IndexOf(rows, "17000")]));

    // The list's own row is in use while mapping: only the stale one goes.
    m_driver.Call("select " + std::to_string(kTableList) + " " + std::to_string(IndexOf(rows, "17000")) + " "
                  + std::to_string(IndexOf(rows, "18080")));
    m_driver.Click(kDelete);
    EXPECT_EQ("Gatewright|确定要从路由器上删除选中的2个映射吗？", m_driver.MessageBox(5000));
    m_driver.Press(kIdYes);
    EXPECT_TRUE(WaitForLogMessage("第1行的映射正在使用中，请先在主窗口中删除该行。", 5000));
    EXPECT_TRUE(WaitForLogMessage("已从路由器上删除映射: UDP 17000 -> 198.18.0.2:7000 (old install)", 10000));
    ASSERT_TRUE(WaitUntil([&] { return ReadTable().size() == 2; }, 10000));
    std::vector<std::string> mappings = Router::Mappings();
    ASSERT_EQ(2u, mappings.size());
    EXPECT_EQ(0u, mappings[0].find("TCP 18080 198.18.0.2:8080 ")) << mappings[0];
    EXPECT_EQ(0u, mappings[1].find("TCP 18095 198.18.0.3:9000 ")) << mappings[1];

    rows = ListRows(kTableList);
    m_driver.Call("select " + std::to_string(kTableList) + " " + std::to_string(IndexOf(rows, "18095")));
    m_driver.Click(kAdopt);
    EXPECT_TRUE(WaitUntil([&] { return ListRows(kTableList)[IndexOf(rows, "18095")].find("本列表") != std::string::npos; },
                          5000));
    m_driver.Call("target main");
    std::vector<std::string> listed = ListRows();
    ASSERT_EQ(2u, listed.size());
    EXPECT_NE(listed.end(), std::find(listed.begin(), listed.end(), "TCP\t9000\t18095\t198.18.0.3\tgame server"));
}

class Igd1RouterTableTest : public RoleTest {
protected:
    Igd1RouterTableTest() : RoleTest("igd1") {}
};

TEST_F(Igd1RouterTableTest, VersionOneRouterIsReadEntryByEntry)
{
    Router::Run(kUpnpc + " -e 'game server' -a 198.18.0.3 9000 18095 TCP");
    StartMapping({ "TCP|8080|18080|198.18.0.2|web" }, "30");
    int entries = Router::Requests("GetGenericPortMappingEntry");
    m_driver.Command(kViewTable);
    ASSERT_TRUE(m_driver.WaitDialog(kCaption, 5000));
    m_driver.Call("target popup");
    ASSERT_TRUE(WaitUntil([&] { return m_driver.Text(kStatus) == "共2个映射"; }, 10000)) << m_driver.Text(kStatus);
    EXPECT_EQ(2u, ListRows(kTableList).size());
    // Two entries and the answer that there is no third.
    EXPECT_EQ(entries + 3, Router::Requests("GetGenericPortMappingEntry"));
    EXPECT_EQ(0, Router::Requests("GetListOfPortMappings"));
}

class PcpRouterTableTest : public RoleTest {
protected:
    PcpRouterTableTest() : RoleTest("pcp") {}
};

TEST_F(PcpRouterTableTest, RouterThatCannotListItsTableShowsTheProgramsOwnMappings)
{
    StartMapping({ "TCP|8080|18080|198.18.0.2|web" }, "30");
    m_driver.Command(kViewTable);
    ASSERT_TRUE(m_driver.WaitDialog(kCaption, 5000));
    m_driver.Call("target popup");
    ASSERT_TRUE(WaitUntil([&] { return m_driver.Text(kStatus) == "此路由器不能列出映射表，下面只有本程序做的映射。"; },
                          10000)) << m_driver.Text(kStatus);
    std::vector<std::string> rows = ListRows(kTableList);
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ(0u, rows[0].find("TCP\t18080\t198.18.0.2\t8080\tGatewright\t")) << rows[0];
    EXPECT_NE(std::string::npos, rows[0].find("\t本列表"));

    // Its keys reach its dialog manager, though the main window's loop runs: Escape closes it.
    m_driver.Call("key " + std::to_string(kTableList) + " 27");
    EXPECT_TRUE(WaitUntil([&] { return !m_driver.WaitDialog(kCaption, 0); }, 5000));
    m_driver.Call("target main");
    m_driver.Command(kViewTable);
    EXPECT_TRUE(m_driver.WaitDialog(kCaption, 5000)) << "opened again";
}

}
