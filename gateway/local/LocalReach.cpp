#include "LocalReach.h"
#include "Listeners.h"
#include "../LogLines.h"
#include "../Notices.h"
#include "WindowsFirewall.h"
#include "../../framework/DottedAddress.h"
#include <algorithm>
#include <cstdlib>
#include <set>

namespace {
// What this machine knows of its rows at one moment.
struct LocalView {
    std::vector<DWORD> addresses;
    std::vector<LocalSocket> sockets;
    bool socketsKnown = false;
    FirewallState firewall;
    bool firewallKnown = false;
};

LocalView ReadLocalView()
{
    LocalView view;
    view.addresses = ThisMachineAddresses();
    view.socketsKnown = ReadLocalSockets(&view.sockets);
    view.firewallKnown = ReadFirewall(&view.firewall);
    return view;
}

bool IsThisMachines(const LocalView& view, const MappingEntry& row)
{
    std::uint32_t address = 0;
    return IsValidPort(row.localPort) && ParseDottedAddress(row.internalIp.c_str(), &address)
        && std::find(view.addresses.begin(), view.addresses.end(), address) != view.addresses.end();
}

std::string FileName(const std::string& path)
{
    return path.substr(path.find_last_of('\\') + 1);
}

// The program serving the row, "" when none or not known.
std::string ServingProgram(const LocalView& view, const MappingEntry& row)
{
    const LocalSocket* socket = FindServingSocket(view.sockets, row);
    return socket ? ProgramPath(socket->pid) : std::string();
}

// program: the one listening on the row's port, "" when none or not known.
bool Blocks(const LocalView& view, const MappingEntry& row, const std::string& program)
{
    InboundConnection connection = { row.protocol == "UDP" ? kFwProtocolUdp : kFwProtocolTcp,
                                     static_cast<unsigned>(std::atol(row.localPort.c_str())), program };
    return FirewallBlocks(view.firewall, connection, ExpandRulePath);
}

void TellListener(const MappingEntry& row, bool served, const std::string& program, CNotices& notices)
{
    std::string key = "listener " + row.protocol + " " + row.localPort + " " + row.internalIp;
    if (!served)
        notices.Tell(key, "none", FormatNoListener(row));
    else if (notices.Told(key))
        notices.Tell(key, "listening", FormatListenerCame(row, FileName(program)));
}

void TellFirewall(const LocalView& view, const MappingEntry& row, const std::string& program, CNotices& notices)
{
    std::string key = "firewall " + row.protocol + " " + row.localPort;
    if (Blocks(view, row, program))
        notices.Tell(key, "", FormatFirewallBlocks(row));
    else
        notices.Clear(key);
}

std::string PortKey(const MappingEntry& row)
{
    return row.protocol + " " + row.localPort;
}
}

std::string ExpandRulePath(const std::string& path)
{
    // Only a 32-bit process on 64-bit Windows has these, and needs them.
    std::string native = ::GetEnvironmentVariableA("ProgramW6432", nullptr, 0) ? WithNativeProgramFolders(path) : path;
    char expanded[MAX_PATH * 2];
    DWORD size = ::ExpandEnvironmentStringsA(native.c_str(), expanded, sizeof expanded);
    return size > 0 && size <= sizeof expanded ? std::string(expanded) : path;
}

void CheckLocalReach(const std::vector<MappingEntry>& rows, CNotices& notices)
{
    LocalView view = ReadLocalView();
    for (const MappingEntry& row : rows) {
        if (!IsThisMachines(view, row))
            continue;
        // Found once, the listener's program serves both checks.
        const LocalSocket* socket = FindServingSocket(view.sockets, row);
        std::string program = socket ? ProgramPath(socket->pid) : std::string();
        if (view.socketsKnown)
            TellListener(row, socket != nullptr, program, notices);
        if (view.firewallKnown)
            TellFirewall(view, row, program, notices);
    }
}

void AllowBlockedInFirewall(const std::vector<MappingEntry>& rows, CNotices& notices)
{
    LocalView view = ReadLocalView();
    std::set<std::string> done;
    for (const MappingEntry& row : rows) {
        if (!IsThisMachines(view, row) || (view.firewallKnown && !Blocks(view, row, ServingProgram(view, row))))
            continue;
        if (!done.insert(PortKey(row)).second)
            continue;
        std::string program = ServingProgram(view, row);
        RuleAdded added = AddAllowRule(row.protocol, row.localPort, program);
        if (added == RuleAdded::Failed) {
            notices.Report(FormatFirewallRuleFailed(row));
            continue;
        }
        // Decided again: a block rule or "block all incoming" wins over any allow rule.
        LocalView after = ReadLocalView();
        if (after.firewallKnown && Blocks(after, row, program))
            notices.Report(FormatFirewallStillBlocks(row));
        else
            notices.Report(FormatFirewallAllowed(row, program, added == RuleAdded::AlreadyThere));
    }
    if (done.empty())
        notices.Report(kFirewallBlocksNothing);
}

void RemoveFirewallRules(const std::vector<MappingEntry>& deleted, const std::vector<MappingEntry>& listed)
{
    std::set<std::string> kept;
    for (const MappingEntry& row : listed)
        kept.insert(PortKey(row));
    std::set<std::string> removed;
    for (const MappingEntry& row : deleted) {
        if (!kept.count(PortKey(row)) && removed.insert(PortKey(row)).second)
            RemoveAllowRule(row.protocol, row.localPort);
    }
}
