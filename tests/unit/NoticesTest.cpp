// What the log tells once: per Start, again on a change or after the row was
// fine, and a few facts once for the program's life.
#include "../../gateway/Notices.h"
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

class NoticesTest : public ::testing::Test {
protected:
    std::vector<std::string> m_lines;
    CNotices m_notices{ [this](const std::string& line) { m_lines.push_back(line); } };
};

TEST_F(NoticesTest, ARowsTroubleIsToldOncePerStartAgainWhenItChangesAndAfterTheRowWasFine)
{
    m_notices.BeginStart(1);
    m_notices.Tell("held TCP 80", "198.18.0.3:80", "held by .3");
    m_notices.Tell("held TCP 80", "198.18.0.3:80", "held by .3");
    m_notices.Tell("refused TCP 81", "718", "refused 718");
    EXPECT_EQ((std::vector<std::string>{ "held by .3", "refused 718" }), m_lines);

    m_notices.Tell("held TCP 80", "198.18.0.4:80", "held by .4");
    m_notices.Tell("refused TCP 81", "725", "refused 725");
    m_notices.Clear("held TCP 80");
    m_notices.Tell("held TCP 80", "198.18.0.4:80", "held by .4 again");
    EXPECT_EQ((std::vector<std::string>{ "held by .3", "refused 718", "held by .4", "refused 725",
                                         "held by .4 again" }),
              m_lines);
    EXPECT_TRUE(m_notices.Told("refused TCP 81"));

    // More runs of the same Start tell nothing new; the next Start tells all again.
    m_lines.clear();
    m_notices.BeginStart(1);
    m_notices.Tell("refused TCP 81", "725", "refused 725");
    m_notices.BeginStart(2);
    EXPECT_FALSE(m_notices.Told("refused TCP 81"));
    m_notices.Tell("refused TCP 81", "725", "refused 725");
    EXPECT_EQ((std::vector<std::string>{ "refused 725" }), m_lines);
}

TEST_F(NoticesTest, FactsOfTheRouterAreToldOnceWhateverTheStart)
{
    m_notices.BeginStart(1);
    m_notices.TellOnce("permanent", "only permanent leases");
    m_notices.BeginStart(2);
    m_notices.TellOnce("permanent", "only permanent leases");
    EXPECT_EQ((std::vector<std::string>{ "only permanent leases" }), m_lines);
}

TEST_F(NoticesTest, OnlyAnsweredReadsOfTheExternalAddressTellWhetherTheInternetReachesIt)
{
    m_notices.NoteExternalAddress("", -3);
    EXPECT_TRUE(m_lines.empty());
    EXPECT_FALSE(m_notices.NoPublicAddress());
    m_notices.NoteExternalAddress("100.64.0.5", 0);
    m_notices.NoteExternalAddress("100.64.0.5", 0);
    EXPECT_EQ(1u, m_lines.size());
    EXPECT_TRUE(m_notices.NoPublicAddress());
    m_notices.NoteExternalAddress("", -3);
    EXPECT_TRUE(m_notices.NoPublicAddress());
    m_notices.NoteExternalAddress("203.0.113.9", 0);
    EXPECT_EQ(2u, m_lines.size());
    EXPECT_FALSE(m_notices.NoPublicAddress());
}

}
