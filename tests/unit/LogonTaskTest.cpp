#include "../../desktop/LogonTask.h"
#include <gtest/gtest.h>

namespace {

// The text between <name> and </name>, or "<none>".
std::string Element(const std::string& xml, const std::string& name)
{
    size_t start = xml.find("<" + name + ">");
    size_t end = xml.find("</" + name + ">");
    if (start == std::string::npos || end == std::string::npos)
        return "<none>";
    start += name.size() + 2;
    return xml.substr(start, end - start);
}

TEST(LogonTask, StartsTheQuotedExecutableAtTheUsersLogonWithTheHighestRunLevel)
{
    std::string xml = LogonTaskXml("\"C:\\Program Files\\R&D <1>\\Gatewright.exe\"", "PC\\\xC0\xEE");
    EXPECT_EQ("<Enabled>true</Enabled><UserId>PC\\\xC0\xEE</UserId>", Element(xml, "LogonTrigger"));
    EXPECT_EQ("PC\\\xC0\xEE", Element(Element(xml, "Principals"), "UserId"));
    EXPECT_EQ("HighestAvailable", Element(xml, "RunLevel"));
    EXPECT_EQ("InteractiveToken", Element(xml, "LogonType"));
    // Quoted, since the path may hold blanks; escaped, since it may hold "&" and "<".
    EXPECT_EQ("\"C:\\Program Files\\R&amp;D &lt;1&gt;\\Gatewright.exe\"", Element(xml, "Command"));
    EXPECT_EQ("/logon", Element(xml, "Arguments"));
    EXPECT_EQ("PT0S", Element(xml, "ExecutionTimeLimit"));
    EXPECT_EQ("false", Element(xml, "DisallowStartIfOnBatteries"));
    EXPECT_EQ("false", Element(xml, "StopIfGoingOnBatteries"));
}

TEST(LogonTask, OneTaskPerUserAndACopyOwnsOnlyATaskThatStartsItsOwnExecutable)
{
    EXPECT_EQ("Gatewright S-1-5-21-1-2-3-1001", LogonTaskName("S-1-5-21-1-2-3-1001"));
    EXPECT_NE(LogonTaskName("S-1-5-21-1-2-3-1001"), LogonTaskName("S-1-5-21-1-2-3-1002"));
    const std::string installed = "C:\\Program Files (x86)\\Gatewright\\Gatewright.exe";
    EXPECT_TRUE(StartsExecutable("\"" + installed + "\"", installed)) << "as the task keeps it, quoted";
    EXPECT_TRUE(StartsExecutable("\"c:\\program files (x86)\\GATEWRIGHT\\gatewright.exe\"", installed));
    EXPECT_TRUE(StartsExecutable(installed, installed));
    EXPECT_FALSE(StartsExecutable("\"C:\\Users\\me\\Downloads\\Gatewright.exe\"", installed)) << "a portable copy";
    EXPECT_FALSE(StartsExecutable("\"" + installed + ".old\"", installed));
    EXPECT_FALSE(StartsExecutable("", installed)) << "a task whose command cannot be read";
}

}
