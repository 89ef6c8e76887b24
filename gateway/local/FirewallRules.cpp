#include "FirewallRules.h"
#include <algorithm>

namespace {
// Whether one condition of a rule holds for the connection. Maybe where the
// rule names what only Windows resolves (port keywords such as "RPC") or the
// connection's program is not known.
enum class Match { No, Yes, Maybe };

const unsigned kHighestPort = 65535;

std::string Trimmed(const std::string& text)
{
    size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// Decimal digits only; five of them at most, so the value cannot wrap.
bool ParsePort(const std::string& text, unsigned* port)
{
    std::string digits = Trimmed(text);
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *port = 0;
    for (char digit : digits)
        *port = *port * 10 + static_cast<unsigned>(digit - '0');
    return *port <= kHighestPort;
}

// One item of a port list: "*", "80" or "1000-2000".
bool ParseRange(const std::string& item, unsigned* low, unsigned* high)
{
    std::string text = Trimmed(item);
    if (text == "*") {
        *low = 0;
        *high = kHighestPort;
        return true;
    }
    size_t dash = text.find('-');
    if (dash == std::string::npos)
        return ParsePort(text, low) && ParsePort(text, high);
    return ParsePort(text.substr(0, dash), low) && ParsePort(text.substr(dash + 1), high) && *low <= *high;
}

// One item not understood leaves the whole list open: it may be what names the port.
Match PortsMatch(const std::string& list, unsigned port)
{
    if (list.size() > kFwLongestField)
        return Match::Maybe;
    Match match = Match::No;
    for (size_t start = 0;;) {
        size_t comma = list.find(',', start);
        unsigned low = 0, high = 0;
        if (!ParseRange(list.substr(start, comma - start), &low, &high))
            return Match::Maybe;
        if (low <= port && port <= high)
            match = Match::Yes;
        if (comma == std::string::npos)
            return match;
        start = comma + 1;
    }
}

// Windows compares paths without regard to case; ASCII folding is enough for
// the paths rules name.
char Folded(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whether text holds word at position at, without regard to case.
bool HasAt(const std::string& text, size_t at, const std::string& word)
{
    if (text.size() - at < word.size())
        return false;
    for (size_t i = 0; i < word.size(); ++i)
        if (Folded(text[at + i]) != Folded(word[i]))
            return false;
    return true;
}

bool EqualsNoCase(const std::string& a, const std::string& b)
{
    return a.size() == b.size()
        && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return Folded(x) == Folded(y); });
}

Match ProgramMatch(const FirewallRule& rule, const InboundConnection& connection, const PathExpander& expand)
{
    if (rule.application.empty())
        return Match::Yes;
    if (connection.program.empty() || rule.application.size() > kFwLongestField)
        return Match::Maybe;
    return EqualsNoCase(expand(rule.application), connection.program) ? Match::Yes : Match::No;
}

bool IsAnyText(const std::string& text)
{
    return text.empty() || text == "*";
}

bool Counts(const FirewallRule& rule)
{
    return rule.enabled && rule.inbound;
}

bool CoversProfileAndProtocol(const FirewallRule& rule, long profile, int protocol)
{
    return (rule.profiles & profile) != 0 && (rule.protocol == kFwProtocolAny || rule.protocol == protocol);
}

// Every condition read and known to hold: a rule for some remote addresses,
// a service or some interfaces might not see a connection from the internet.
bool SurelyBlocks(const FirewallRule& rule, long profile, const InboundConnection& connection,
                  const PathExpander& expand)
{
    return Counts(rule) && !rule.allow && rule.readable
        && CoversProfileAndProtocol(rule, profile, connection.protocol)
        && PortsMatch(rule.localPorts, connection.port) == Match::Yes
        && ProgramMatch(rule, connection, expand) == Match::Yes && IsAnyText(rule.remoteAddresses)
        && IsAnyText(rule.serviceName) && (rule.interfaceTypes.empty() || EqualsNoCase(rule.interfaceTypes, "All"));
}

// An allow rule not fully read may be the one that lets the connection in.
bool CouldAllow(const FirewallRule& rule, long profile, const InboundConnection& connection,
                const PathExpander& expand)
{
    if (!Counts(rule) || !rule.allow)
        return false;
    return !rule.readable
        || (CoversProfileAndProtocol(rule, profile, connection.protocol)
            && PortsMatch(rule.localPorts, connection.port) != Match::No
            && ProgramMatch(rule, connection, expand) != Match::No);
}

typedef bool (*RuleTest)(const FirewallRule&, long, const InboundConnection&, const PathExpander&);

bool AnyRule(const std::vector<FirewallRule>& rules, RuleTest test, long profile,
             const InboundConnection& connection, const PathExpander& expand)
{
    return std::any_of(rules.begin(), rules.end(),
                       [&](const FirewallRule& rule) { return test(rule, profile, connection, expand); });
}

bool ProfileBlocks(const FirewallProfile& profile, const std::vector<FirewallRule>& rules,
                   const InboundConnection& connection, const PathExpander& expand)
{
    if (!profile.enabled)
        return false;
    if (profile.blockAllInbound || AnyRule(rules, SurelyBlocks, profile.type, connection, expand))
        return true;
    if (AnyRule(rules, CouldAllow, profile.type, connection, expand))
        return false;
    return !profile.defaultInboundAllow;
}
}

bool FirewallBlocks(const FirewallState& state, const InboundConnection& connection, const PathExpander& expand)
{
    // With no profile known there is nothing to say it is blocked.
    return !state.current.empty()
        && std::all_of(state.current.begin(), state.current.end(), [&](const FirewallProfile& profile) {
               return ProfileBlocks(profile, state.rules, connection, expand);
           });
}

std::string WithNativeProgramFolders(const std::string& path)
{
    static const std::pair<const char*, const char*> kNative[] = {
        { "%ProgramFiles%", "%ProgramW6432%" }, { "%CommonProgramFiles%", "%CommonProgramW6432%" } };
    std::string native;
    for (size_t at = 0; at < path.size();) {
        bool replaced = false;
        for (const auto& variable : kNative) {
            if (HasAt(path, at, variable.first)) {
                native += variable.second;
                at += std::string(variable.first).size();
                replaced = true;
                break;
            }
        }
        if (!replaced)
            native += path[at++];
    }
    return native;
}

FirewallRule AllowRuleFor(int protocol, const std::string& port, const std::string& program, long profiles)
{
    FirewallRule rule;
    rule.enabled = rule.inbound = rule.allow = true;
    rule.protocol = protocol;
    rule.localPorts = port;
    rule.remoteAddresses = "*";
    rule.application = program;
    rule.interfaceTypes = "All";
    rule.profiles = profiles;
    return rule;
}
