// The add-mapping dialog, deleting rows and the list's context menu.
#include "Harness.h"
#include <algorithm>

namespace {

const int kStart = 1005, kStatusLine = 1013;
const int kAddress = 1014, kLocalPort = 1015, kExternalPort = 1016, kTcp = 1017, kUdp = 1018,
          kAddButton = 1019, kRemark = 1020;
const long kAddCommand = 32781, kDeleteCommand = 32782;
const long IDOK_ = 1, VK_DOWN_ = 0x28, VK_RETURN_ = 0x0D, VK_ESCAPE_ = 0x1B;
const char* kAddCaption = "添加映射端口";
const char* kNothingSelected = "提示: 你还没有选中列表中项目,删除失败!";

class ListEditingTest : public AppTest {
protected:
    // Opens the add dialog from the menu bar; its controls are the driver's target.
    // Esc ends the add dialog; the key is only posted, so its end is awaited.
    void PressEscInAddDialog()
    {
        m_driver.Call("key " + std::to_string(kRemark) + " " + std::to_string(VK_ESCAPE_));
        m_driver.Call("target main");
        ASSERT_TRUE(WaitUntil([&] { return !m_driver.WaitDialog(kAddCaption, 0); }, 5000));
    }
    void OpenAddDialog()
    {
        m_driver.Command(kAddCommand);
        ASSERT_TRUE(m_driver.WaitDialog(kAddCaption, 5000));
        m_driver.Call("target popup");
    }

    void Fill(const std::string& localPort, const std::string& externalPort, const std::string& remark)
    {
        m_driver.Call("set-text " + std::to_string(kLocalPort) + " " + localPort);
        m_driver.Call("set-text " + std::to_string(kExternalPort) + " " + externalPort);
        m_driver.Call("set-text " + std::to_string(kRemark) + " " + remark);
    }

    // Adds a row through the dialog and waits for it to close.
    void AddRow(bool udp, const std::string& localPort, const std::string& externalPort, const std::string& remark)
    {
        size_t rows = ListRows().size();
        OpenAddDialog();
        Fill(localPort, externalPort, remark);
        if (udp)
            m_driver.Click(kUdp);
        m_driver.Click(kAddButton);
        m_driver.Call("target main");
        ASSERT_TRUE(WaitUntil([&] { return ListRows().size() == rows + 1; }, 5000));
    }
};

TEST_F(ListEditingTest, AddDialogShowsItsDefaultsAndAUdpRowGoesOnTopOfTcpRows)
{
    SeedRows({ "TCP|8080|18080|198.18.0.2|a", "TCP|8081|18081|198.18.0.2|b" });
    Launch();
    ASSERT_TRUE(WaitForGateway());
    OpenAddDialog();
    EXPECT_EQ(Router::Variable("LAN_IP"), m_driver.Address(kAddress));
    EXPECT_EQ("80", m_driver.Text(kLocalPort));
    EXPECT_EQ("80", m_driver.Text(kExternalPort));
    EXPECT_EQ("", m_driver.Text(kRemark));
    EXPECT_TRUE(m_driver.Checked(kTcp));
    EXPECT_FALSE(m_driver.Checked(kUdp));
    PressEscInAddDialog();

    AddRow(true, "3389", "13389", "远程桌面");
    ASSERT_EQ(3u, ListRows().size());
    EXPECT_EQ("UDP\t3389\t13389\t198.18.0.2\t远程桌面", ListRows()[0]);
}

TEST_F(ListEditingTest, EmptyPortOrBlankAddressShowsTheMessageAndKeepsTheDialogAndItsInputs)
{
    Launch();
    ASSERT_TRUE(WaitForGateway());
    OpenAddDialog();
    Fill("", "18080", "keep me");
    m_driver.Click(kAddButton);
    EXPECT_EQ("Gatewright|本地地址与端口项不能为空 ！", m_driver.MessageBox(5000));
    m_driver.Press(IDOK_);
    ASSERT_TRUE(m_driver.WaitDialog(kAddCaption, 2000));
    EXPECT_EQ("18080", m_driver.Text(kExternalPort));
    EXPECT_EQ("keep me", m_driver.Text(kRemark));

    m_driver.Call("set-text " + std::to_string(kLocalPort) + " 8080");
    m_driver.Call("set-address " + std::to_string(kAddress));
    m_driver.Click(kAddButton);
    EXPECT_EQ("Gatewright|本地地址与端口项不能为空 ！", m_driver.MessageBox(5000));
    m_driver.Press(IDOK_);

    // Esc ends the dialog without adding anything.
    ASSERT_TRUE(m_driver.WaitDialog(kAddCaption, 2000));
    PressEscInAddDialog();
    EXPECT_TRUE(ListRows().empty());
}

TEST_F(ListEditingTest, RemarkIsRefusedWithASeparatorOrBeyondTheStoredBytesAndKeptWhenItFits)
{
    std::string chinese64;
    for (int i = 0; i < 64; ++i)
        chinese64 += "网";
    Launch();
    ASSERT_TRUE(WaitForGateway());
    OpenAddDialog();
    const std::pair<std::string, std::string> refused[] = {
        { "a|b", "Gatewright|备注不能包含“|” ！" },
        { chinese64, "Gatewright|备注不能超过127个字节(一个汉字算2个) ！" },
    };
    for (const auto& remark : refused) {
        Fill("8080", "18080", remark.first);
        m_driver.Click(kAddButton);
        EXPECT_EQ(remark.second, m_driver.MessageBox(5000));
        m_driver.Press(IDOK_);
        ASSERT_TRUE(m_driver.WaitDialog(kAddCaption, 2000));
        EXPECT_EQ(remark.first, m_driver.Text(kRemark));
    }

    // 127 bytes of GBK, the first character's second byte a "|" (0x81 0x7C).
    std::string fits = "亅" + chinese64.substr(0, 62 * 3) + "x";
    Fill("8080", "18080", fits);
    m_driver.Click(kAddButton);
    m_driver.Call("target main");
    ASSERT_TRUE(WaitUntil([&] { return ListRows().size() == 1; }, 5000));
    ASSERT_TRUE(CloseProgram());
    Launch();
    EXPECT_EQ((std::vector<std::string>{ "TCP\t8080\t18080\t198.18.0.2\t" + fits }), ListRows())
        << "the remark comes back as it was added";
}

TEST_F(ListEditingTest, DeleteRemovesEverySelectedRow)
{
    SeedRows({ "TCP|1|11|198.18.0.2|one", "TCP|2|12|198.18.0.2|two", "TCP|3|13|198.18.0.2|three",
               "UDP|4|14|198.18.0.2|four" });
    Launch();
    std::vector<std::string> rows = ListRows();
    m_driver.Call("select 1002 0 1 3");
    m_driver.Command(kDeleteCommand);
    ASSERT_TRUE(WaitUntil([&] { return ListRows().size() == 1; }, 5000));
    EXPECT_EQ(rows.at(2), ListRows().at(0));
}

TEST_F(ListEditingTest, DeleteFromTheContextMenuWithNothingSelectedOnlyLogsTheHint)
{
    SeedRows({ "TCP|1|11|198.18.0.2|one" });
    Launch();
    ASSERT_TRUE(WaitForGateway());
    m_driver.Call("select 1002");
    m_driver.Call("rclick 1002 200 200");
    ASSERT_TRUE(m_driver.TryCall("menu 5000")) << "no context menu";
    m_driver.Call("menu-key " + std::to_string(VK_DOWN_));
    m_driver.Call("menu-key " + std::to_string(VK_DOWN_));
    m_driver.Call("menu-key " + std::to_string(VK_RETURN_));
    EXPECT_TRUE(WaitForLogMessage(kNothingSelected, 5000));
    EXPECT_EQ(kNothingSelected, m_driver.Text(kStatusLine));
    EXPECT_EQ(1u, ListRows().size());
}

TEST_F(ListEditingTest, RowAddedWhileMappingIsOnTheRouterAfterTheNextRefresh)
{
    SeedRows({ "TCP|8080|18080|198.18.0.2|" });
    Launch();
    ASSERT_TRUE(WaitForGateway());
    m_driver.Call("set-text 1007 5");
    m_driver.Click(kStart);
    ASSERT_TRUE(WaitUntil([&] { return Router::Mappings().size() == 1; }, 15000));
    AddRow(false, "8082", "18082", "late");
    std::vector<std::string> rows = ListRows();
    std::string late = std::to_string(std::find_if(rows.begin(), rows.end(), [](const std::string& row) {
        return row.find("late") != std::string::npos;
    }) - rows.begin());
    EXPECT_EQ("0", m_driver.Call("image 1002 " + late)) << "a new row is not active yet";
    EXPECT_TRUE(WaitUntil([&] { return Router::Mappings().size() == 2; }, 10000, 250));
    EXPECT_EQ("TCP 18082 198.18.0.2:8082 Gatewright", Router::Mappings().at(1));
    EXPECT_TRUE(WaitUntil([&] { return m_driver.Call("image 1002 " + late) == "1"; }, 5000));
}

TEST_F(ListEditingTest, AddedAndDeletedRowsAreStoredAtCloseAndBackAfterARestart)
{
    SeedRows({ "TCP|1|11|198.18.0.2|gone", "TCP|2|12|198.18.0.2|stays" });
    Launch();
    ASSERT_TRUE(WaitForGateway());
    AddRow(true, "53", "10053", "dns");
    std::vector<std::string> rows = ListRows();
    int gone = static_cast<int>(std::find_if(rows.begin(), rows.end(), [](const std::string& row) {
        return row.find("gone") != std::string::npos;
    }) - rows.begin());
    m_driver.Call("select 1002 " + std::to_string(gone));
    m_driver.Command(kDeleteCommand);
    ASSERT_TRUE(WaitUntil([&] { return ListRows().size() == 2; }, 5000));
    std::vector<std::string> kept = ListRows();
    ASSERT_TRUE(CloseProgram());

    Launch();
    ASSERT_EQ(kept, ListRows());
    EXPECT_EQ("UDP\t53\t10053\t198.18.0.2\tdns", kept[0]);
}

}

namespace {

TEST_F(ListEditingTest, PortThatIsNotFromOneTo65535IsRefusedAndTheDialogKeepsItsInputs)
{
    Launch();
    ASSERT_TRUE(WaitForGateway());
    OpenAddDialog();
    for (const char* pasted : { "0", "65536", "8|0" }) {
        for (bool local : { true, false }) {
            Fill(local ? pasted : "8080", local ? "18080" : pasted, "kept");
            m_driver.Click(kAddButton);
            EXPECT_EQ("Gatewright|端口必须是1到65535之间的数字 ！", m_driver.MessageBox(5000)) << pasted;
            m_driver.Press(IDOK_);
            ASSERT_TRUE(m_driver.WaitDialog(kAddCaption, 2000));
            EXPECT_EQ(pasted, m_driver.Text(local ? kLocalPort : kExternalPort));
        }
    }
    PressEscInAddDialog();
    EXPECT_TRUE(ListRows().empty());
}

TEST_F(ListEditingTest, StoredRowWithABadPortIsSkippedWithOneLinePerStart)
{
    SeedRows({ "UDP|0|18081|198.18.0.2|bad", "TCP|8080|18080|198.18.0.2|good" });
    Launch();
    ASSERT_TRUE(WaitForGateway());
    m_driver.Call("set-text 1007 1");
    m_driver.Click(kStart);
    // Each refresh ends with the external address.
    int refreshes = Router::Requests("GetExternalIPAddress");
    ASSERT_TRUE(WaitUntil([&] { return Router::Requests("GetExternalIPAddress") >= refreshes + 3; }, 15000));
    EXPECT_EQ(1u, CountStarting(LogMessages(), "第1行的端口不正确，此映射未生效。"));
    EXPECT_EQ((std::vector<std::string>{ "TCP 18080 198.18.0.2:8080 Gatewright" }), Router::Mappings());
    EXPECT_EQ("2", m_driver.Call("image 1002 0")) << "the row is failed";
}

}
