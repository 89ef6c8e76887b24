#pragma once
// Windows Firewall as INetFwPolicy2 shows it: the profiles in force and the
// rules, read for the decision in FirewallRules.h, and the allow rules the
// program adds for the user's rows. Each call starts COM for its own use.
#include "FirewallRules.h"

// False where the firewall cannot be asked: COM fails, or the firewall
// answers that it does not do what is asked (as Wine's does).
bool ReadFirewall(FirewallState* state);

// The rule the program adds for a protocol and local port: "Gatewright TCP 80".
std::string AllowRuleName(const std::string& protocol, const std::string& port);

enum class RuleAdded { Added, AlreadyThere, Failed };
// Adds the allow rule of AllowRuleFor in the program's own group, unless the
// group has a rule of that name already; Added when it is there when read back.
RuleAdded AddAllowRule(const std::string& protocol, const std::string& port, const std::string& program);

// Removes the program's own rule of that name, and no other.
void RemoveAllowRule(const std::string& protocol, const std::string& port);

// Removes every rule of the program's own group, so that none outlives the
// program; how many, or -1 where the firewall cannot be asked.
int RemoveOwnRules();
