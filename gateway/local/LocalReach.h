#pragma once
// This machine's side of reachability: a row of this machine whose port
// nothing listens on, or which Windows Firewall would block, is reachable
// through the router and still refused. The log says so once per Start; the
// row's state stays as the router decides. Where Windows cannot tell, nothing
// is said. Called on the worker's thread, after a run's requests.
#include "../../mappings/MappingEntry.h"
#include <string>
#include <vector>

class CNotices;

// After a run: the rows nothing listens on, and, once a listener came for
// such a row, whose it is; the rows the firewall blocks.
void CheckLocalReach(const std::vector<MappingEntry>& rows, CNotices& notices);

// Adds an allow rule for each row of this machine the firewall blocks, or
// where the firewall cannot tell, and says what came of each.
void AllowBlockedInFirewall(const std::vector<MappingEntry>& rows, CNotices& notices);

// A rule's program path expanded as the firewall service expands it: with
// the 64-bit program folders, whichever build this is.
std::string ExpandRulePath(const std::string& path);

// Removes the rules added for deleted rows, where no listed row has their
// protocol and local port.
void RemoveFirewallRules(const std::vector<MappingEntry>& deleted, const std::vector<MappingEntry>& listed);
