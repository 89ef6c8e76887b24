// Windows Firewall rules whose fields come from the input, decided as the
// program decides them, and rule paths named as a 64-bit process names them.
// Each of the first lines is one field of one rule:
// local ports, remote addresses, program, service, interface types; then the
// listening program's path; the rest gives flags, protocol and the port.
// The rule the program adds for the connection must always let it in where
// nothing blocks it outright.
#include "FuzzInput.h"
#include "../../../gateway/local/FirewallRules.h"

namespace {
FirewallRule ReadRule(CFuzzInput& input)
{
    FirewallRule rule;
    rule.localPorts = input.Line();
    rule.remoteAddresses = input.Line();
    rule.application = input.Line();
    rule.serviceName = input.Line();
    rule.interfaceTypes = input.Line();
    std::uint8_t flags = input.Byte();
    rule.enabled = flags & 1;
    rule.inbound = flags & 2;
    rule.allow = flags & 4;
    rule.readable = !(flags & 8);
    rule.protocol = flags & 16 ? kFwProtocolAny : (flags & 32 ? kFwProtocolUdp : kFwProtocolTcp);
    rule.profiles = flags & 64 ? kFwProfileAll : kFwProfilePrivate;
    return rule;
}
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size)
{
    CFuzzInput input(data, size);
    FirewallState state;
    state.rules.push_back(ReadRule(input));
    InboundConnection connection = { kFwProtocolTcp, 0, input.Line() };
    std::uint8_t flags = input.Byte();
    connection.protocol = flags & 1 ? kFwProtocolUdp : kFwProtocolTcp;
    connection.port = input.Word();
    FirewallProfile profile = { kFwProfilePrivate, true, false, (flags & 2) != 0 };
    state.current.push_back(profile);
    // A full path, as the listening program's is, expands to itself.
    PathExpander expand = [](const std::string& path) { return path; };
    const std::string& application = state.rules[0].application;
    if (application.find('%') == std::string::npos)
        FUZZ_CHECK(WithNativeProgramFolders(application) == application);
    bool bBlocked = FirewallBlocks(state, connection, expand);
    bool bBlockRule = !state.rules[0].allow;
    state.rules.push_back(AllowRuleFor(connection.protocol, std::to_string(connection.port), connection.program,
                                       kFwProfileAll));
    bool bBlockedAfterAllow = FirewallBlocks(state, connection, expand);
    // An allow rule never makes a connection blocked; the program's own lets it
    // in where no block rule stands in the way.
    FUZZ_CHECK(!bBlockedAfterAllow || bBlocked);
    if (!bBlockRule)
        FUZZ_CHECK(!bBlockedAfterAllow);
    return 0;
}
