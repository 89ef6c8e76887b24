#pragma once
// Whether Windows Firewall would let a connection from the internet reach a
// local port, decided over its profiles and rules once they are read. A wrong
// "blocked" would send the user after a fault that is not there, so where a
// rule cannot be understood it is read the way that lets the connection in.
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

// Profile bits as INetFwPolicy2 gives them (NET_FW_PROFILE2_*).
const long kFwProfileDomain = 1, kFwProfilePrivate = 2, kFwProfilePublic = 4, kFwProfileAll = 0x7FFFFFFF;
// IP protocol numbers as the firewall gives them; 256 is any protocol.
const int kFwProtocolTcp = 6, kFwProtocolUdp = 17, kFwProtocolAny = 256;

// The longest port list or program path of a rule that is read, as long as
// the longest path Windows takes; a longer one is not understood.
const size_t kFwLongestField = 32767;

struct FirewallRule {
    bool enabled = false;
    bool inbound = false;        // NET_FW_RULE_DIR_IN
    bool allow = false;          // NET_FW_ACTION_ALLOW, else block
    int protocol = kFwProtocolAny;
    std::string localPorts;      // "*", "80", "80,443", "1000-2000", or keywords such as "RPC", "IPHTTPS", "Teredo"
    std::string remoteAddresses; // "*" for any
    std::string application;     // "" for any program; a path, possibly with %EnvironmentVariables%
    std::string serviceName;     // "" or "*" for any service
    std::string interfaceTypes;  // "All" for every type
    long profiles = kFwProfileAll;
    bool edgeTraversal = false;
    bool readable = true;        // false when a property could not be read
};

struct FirewallProfile {
    long type = 0;               // one of the profile bits
    bool enabled = false;        // the firewall is on for this profile
    bool blockAllInbound = false;// "block all incoming connections", which no allow rule overrides
    bool defaultInboundAllow = false; // the default inbound action
};

struct FirewallState {
    std::vector<FirewallProfile> current;  // the profiles in force now (one or more)
    std::vector<FirewallRule> rules;
};

struct InboundConnection {
    int protocol;                // kFwProtocolTcp or kFwProtocolUdp
    unsigned port;               // the local port
    std::string program;         // full path of the listening program; "" when not known
};

// Expands %Variables% in a rule's application path (the caller passes ExpandEnvironmentStrings).
typedef std::function<std::string(const std::string&)> PathExpander;

// The rule the program adds for a row: enabled, inbound, allow, the row's
// protocol and local port, for the listening program (its full path) or, where
// Windows does not tell it, any program; every profile in force (profiles).
FirewallRule AllowRuleFor(int protocol, const std::string& port, const std::string& program, long profiles);

// A rule's path with the program folders named as a 64-bit process, the
// firewall service among them, reads them: %ProgramFiles% as %ProgramW6432%,
// %CommonProgramFiles% as %CommonProgramW6432%. A 32-bit process would
// otherwise expand them to the "(x86)" folders, where the rule does not point.
std::string WithNativeProgramFolders(const std::string& path);

// True when the firewall would block the connection from the internet. It may
// arrive on any current profile, so each of them must block it. In a profile,
// a block rule blocks only when it surely matches, and wins over allow rules,
// as in Windows; an allow rule allows when it could match; the default action
// decides the rest. Disabled and outbound rules do not count.
bool FirewallBlocks(const FirewallState& state, const InboundConnection& connection, const PathExpander& expand);
