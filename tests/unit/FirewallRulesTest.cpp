// Whether Windows Firewall blocks a connection from the internet: a block rule
// must surely match, an allow rule need only possibly match.
#include "../../gateway/local/FirewallRules.h"
#include "../../gateway/local/LocalReach.h"
#include <windows.h>
#include <gtest/gtest.h>

namespace {

const char* kProgram = "C:\\Program Files\\App\\app.exe";
const InboundConnection kTcp80 = { kFwProtocolTcp, 80, kProgram };

std::string ExpandProgramFiles(const std::string& path)
{
    const std::string variable = "%ProgramFiles%";
    return path.compare(0, variable.size(), variable) ? path : "C:\\Program Files" + path.substr(variable.size());
}

FirewallProfile Profile(long type, bool defaultAllow)
{
    return { type, true, false, defaultAllow };
}

// Enabled, inbound, TCP 80, for any program, remote address and interface.
FirewallRule Rule(bool allow, long profiles = kFwProfileAll)
{
    return { true, true, allow, kFwProtocolTcp, "80", "*", "", "", "All", profiles };
}

bool Blocks(const std::vector<FirewallProfile>& current, const std::vector<FirewallRule>& rules,
            const InboundConnection& connection = kTcp80)
{
    return FirewallBlocks({ current, rules }, connection, ExpandProgramFiles);
}

// The rule alone, as a block rule where the default allows, then as an allow
// rule where the default blocks.
void ExpectRule(FirewallRule rule, const InboundConnection& connection, bool blocks, bool allows,
                const std::string& label)
{
    rule.allow = false;
    EXPECT_EQ(blocks, Blocks({ Profile(kFwProfilePrivate, true) }, { rule }, connection)) << label << " (block)";
    rule.allow = true;
    EXPECT_EQ(!allows, Blocks({ Profile(kFwProfilePrivate, false) }, { rule }, connection)) << label << " (allow)";
}

TEST(FirewallRules, PortListsBlockOnlyWhenUnderstoodAndAllowWhenNot)
{
    struct Case { const char* ports; unsigned port; bool blocks, allows; } cases[] = {
        { "80", 80, true, true },          { "80", 8080, false, false },      { "80,443", 443, true, true },
        { "1000-2000", 1000, true, true }, { "1000-2000", 2000, true, true }, { "1000-2000", 2001, false, false },
        { "*", 5000, true, true },         { " 80 , 443 ", 443, true, true }, { " 1000 - 2000 ", 1500, true, true },
        { "RPC", 135, false, true },       { "80,RPC", 80, false, true },     { "", 80, false, true },
        { "2000-1000", 1500, false, true }, { "70000", 4464, false, true },   { "80-", 80, false, true },
        // Five digits, up to the last port.
        { "18080", 18080, true, true },    { "18080", 8080, false, false },   { "65535", 65535, true, true },
        { "49152-65535", 60000, true, true }, { "49152-65535", 8080, false, false },
        { "80,10000-20000", 18080, true, true }, { "100000", 10000, false, true },
    };
    for (const Case& c : cases) {
        FirewallRule rule = Rule(false);
        rule.localPorts = c.ports;
        ExpectRule(rule, { kFwProtocolTcp, c.port, kProgram }, c.blocks, c.allows, "'" + std::string(c.ports) + "'");
    }
}

TEST(FirewallRules, PortListsAndProgramsLongerThanReadOnlyAllow)
{
    std::string ports = "80";
    while (ports.size() <= kFwLongestField)
        ports += ",80";
    FirewallRule rule = Rule(false);
    rule.localPorts = ports.substr(0, kFwLongestField);
    ExpectRule(rule, kTcp80, true, true, "at the longest");
    rule.localPorts = ports;
    ExpectRule(rule, kTcp80, false, true, "past it");
    rule = Rule(false);
    rule.application = std::string(kFwLongestField - std::string(kProgram).size(), '\\') + kProgram;
    ExpectRule(rule, kTcp80, false, false, "another program at the longest");
    rule.application += "x";
    ExpectRule(rule, kTcp80, false, true, "another program past it");
}

TEST(FirewallRules, ProgramsCompareExpandedWithoutCaseAndUnknownOnesOnlyAllow)
{
    struct Case { const char* application; const char* program; bool blocks, allows; } cases[] = {
        { "", "C:\\Other\\x.exe", true, true },
        { "c:\\program files\\APP\\App.EXE", kProgram, true, true },
        { "%ProgramFiles%\\App\\app.exe", kProgram, true, true },
        { "%ProgramFiles%\\App\\app.exe", "", false, true },
        { kProgram, "C:\\Program Files\\App\\app.exe.bak", false, false },
        { "C:\\Program Files\\App\\other.exe", kProgram, false, false },
    };
    for (const Case& c : cases) {
        FirewallRule rule = Rule(false);
        rule.application = c.application;
        ExpectRule(rule, { kFwProtocolTcp, 80, c.program }, c.blocks, c.allows, c.application);
    }
}

TEST(FirewallRules, NarrowedOrUnreadableRulesNeverBlockButMayAllow)
{
    struct Case { const char* label; void (*change)(FirewallRule&); bool blocks, allows; } cases[] = {
        { "any protocol", [](FirewallRule& r) { r.protocol = kFwProtocolAny; }, true, true },
        { "UDP", [](FirewallRule& r) { r.protocol = kFwProtocolUdp; }, false, false },
        { "remote subnet", [](FirewallRule& r) { r.remoteAddresses = "10.0.0.0/8"; }, false, true },
        { "no remote text", [](FirewallRule& r) { r.remoteAddresses = ""; }, true, true },
        { "service", [](FirewallRule& r) { r.serviceName = "Dnscache"; }, false, true },
        { "any service", [](FirewallRule& r) { r.serviceName = "*"; }, true, true },
        { "LAN only", [](FirewallRule& r) { r.interfaceTypes = "Lan"; }, false, true },
        { "all lowercase", [](FirewallRule& r) { r.interfaceTypes = "all"; }, true, true },
        { "edge traversal", [](FirewallRule& r) { r.edgeTraversal = true; }, true, true },
        { "unreadable", [](FirewallRule& r) { r.readable = false; }, false, true },
        { "unreadable, port 81", [](FirewallRule& r) { r.readable = false; r.localPorts = "81"; }, false, true },
        { "public only", [](FirewallRule& r) { r.profiles = kFwProfilePublic; }, false, false },
        { "disabled", [](FirewallRule& r) { r.enabled = false; }, false, false },
        { "outbound", [](FirewallRule& r) { r.inbound = false; }, false, false },
    };
    for (const Case& c : cases) {
        FirewallRule rule = Rule(false);
        c.change(rule);
        ExpectRule(rule, kTcp80, c.blocks, c.allows, c.label);
    }
}

TEST(FirewallRules, BlockedOnlyWhenEveryCurrentProfileBlocks)
{
    FirewallProfile privateAllows = Profile(kFwProfilePrivate, true), privateBlocks = Profile(kFwProfilePrivate, false);
    FirewallProfile publicAllows = Profile(kFwProfilePublic, true), publicBlocks = Profile(kFwProfilePublic, false);
    FirewallProfile off = privateBlocks, blockAll = privateAllows;
    off.enabled = false;
    blockAll.blockAllInbound = true;
    FirewallRule unsureBlock = Rule(false);
    unsureBlock.localPorts = "RPC";
    struct Case {
        const char* label;
        std::vector<FirewallProfile> current;
        std::vector<FirewallRule> rules;
        bool blocked;
    } cases[] = {
        { "no profile", {}, { Rule(false) }, false },
        { "firewall off", { off }, { Rule(false) }, false },
        { "block all", { blockAll }, { Rule(true) }, true },
        { "default allows", { privateAllows }, {}, false },
        { "default blocks", { privateBlocks }, {}, true },
        { "block before allow", { privateAllows }, { Rule(true), Rule(false) }, true },
        { "unsure block is no allow", { privateBlocks }, { unsureBlock }, true },
        { "other profile's allow", { privateBlocks }, { Rule(true, kFwProfilePublic) }, true },
        { "one profile lets in", { privateBlocks, publicAllows }, {}, false },
        { "allowed on one of two", { privateBlocks, publicBlocks }, { Rule(true, kFwProfilePublic) }, false },
        { "both block", { privateBlocks, publicBlocks }, {}, true },
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.blocked, Blocks(c.current, c.rules)) << c.label;
}

TEST(FirewallRules, ProgramFoldersAreExpandedAsTheFirewallServiceDoesAlsoInA32BitProcess)
{
    EXPECT_EQ("%ProgramW6432%\\App\\app.exe", WithNativeProgramFolders("%programfiles%\\App\\app.exe"));
    EXPECT_EQ("%CommonProgramW6432%\\x.exe", WithNativeProgramFolders("%CommonProgramFiles%\\x.exe"));
    EXPECT_EQ("%ProgramFiles(x86)%\\x.exe", WithNativeProgramFolders("%ProgramFiles(x86)%\\x.exe"));
    EXPECT_EQ("C:\\Tools\\%ProgramFiles", WithNativeProgramFolders("C:\\Tools\\%ProgramFiles"));

    // On 64-bit Windows (as in this 64-bit prefix) a 32-bit test expands
    // %ProgramFiles% to "Program Files (x86)"; the firewall service does not.
    char native[MAX_PATH] = {};
    if (!::GetEnvironmentVariableA("ProgramW6432", native, MAX_PATH))
        GTEST_SKIP() << "32-bit Windows: the program folders are what they say";
    EXPECT_EQ(std::string(native) + "\\App\\app.exe", ExpandRulePath("%ProgramFiles%\\App\\app.exe"));
    EXPECT_EQ(std::string(native) + "\\App\\app.exe", ExpandRulePath("%PROGRAMFILES%\\App\\app.exe"));
}

TEST(FirewallRules, TheRuleAddedLetsInTheListeningProgramOnlyAndNotPastABlock)
{
    const FirewallProfile blocking = Profile(kFwProfilePrivate, false);
    const InboundConnection other = { kFwProtocolTcp, 80, "C:\\Other\\x.exe" };
    FirewallRule forProgram = AllowRuleFor(kFwProtocolTcp, "80", kProgram, kFwProfilePrivate);
    EXPECT_FALSE(Blocks({ blocking }, { forProgram }));
    EXPECT_TRUE(Blocks({ blocking }, { forProgram }, other)) << "another program on the port";
    EXPECT_TRUE(Blocks({ blocking }, { forProgram }, { kFwProtocolUdp, 80, kProgram }));
    EXPECT_TRUE(Blocks({ blocking }, { forProgram }, { kFwProtocolTcp, 8080, kProgram }));
    // Where Windows does not tell the program, any program.
    FirewallRule forAny = AllowRuleFor(kFwProtocolTcp, "80", "", kFwProfilePrivate);
    EXPECT_FALSE(Blocks({ blocking }, { forAny }, other));
    // Added, it does not help against a block rule or "block all incoming".
    FirewallProfile blockAll = blocking;
    blockAll.blockAllInbound = true;
    EXPECT_TRUE(Blocks({ blockAll }, { forProgram }));
    EXPECT_TRUE(Blocks({ Profile(kFwProfilePrivate, true) }, { Rule(false), forProgram }));
}

}
