#include "WindowsFirewall.h"
#include "../../framework/ComRef.h"
#include "../../framework/Format.h"
#include <windows.h>
// The firewall's class and interface ids are in no import library.
#include <initguid.h>
#include <netfw.h>
#include <functional>
#include <vector>

namespace {
const wchar_t kGroup[] = L"Gatewright";

// BSTR that frees itself.
class CBstr {
public:
    explicit CBstr(const std::wstring& text) : m_b(::SysAllocString(text.c_str())) {}
    CBstr() = default;
    CBstr(const CBstr&) = delete;
    CBstr& operator=(const CBstr&) = delete;
    ~CBstr() { ::SysFreeString(m_b); }
    BSTR Get() const { return m_b; }
    BSTR* Put() { return &m_b; }
    std::string Text() const { return NarrowText(m_b); }

private:
    BSTR m_b = nullptr;
};

// COM lives only for the one operation on the firewall's policy.
bool WithPolicy(const std::function<bool(INetFwPolicy2*)>& operation)
{
    HRESULT hrCom = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    bool done = false;
    {
        CComRef<INetFwPolicy2> policy;
        if (SUCCEEDED(::CoCreateInstance(CLSID_NetFwPolicy2, nullptr, CLSCTX_INPROC_SERVER, IID_INetFwPolicy2,
                                         policy.Out())))
            done = operation(policy.Get());
    }
    if (SUCCEEDED(hrCom))
        ::CoUninitialize();
    return done;
}

bool ReadProfile(INetFwPolicy2* policy, long type, FirewallProfile* profile)
{
    VARIANT_BOOL enabled = VARIANT_FALSE, blockAll = VARIANT_FALSE;
    NET_FW_ACTION action = NET_FW_ACTION_BLOCK;
    NET_FW_PROFILE_TYPE2 profileType = static_cast<NET_FW_PROFILE_TYPE2>(type);
    if (FAILED(policy->get_FirewallEnabled(profileType, &enabled))
        || FAILED(policy->get_BlockAllInboundTraffic(profileType, &blockAll))
        || FAILED(policy->get_DefaultInboundAction(profileType, &action)))
        return false;
    profile->type = type;
    profile->enabled = enabled != VARIANT_FALSE;
    profile->blockAllInbound = blockAll != VARIANT_FALSE;
    profile->defaultInboundAllow = action == NET_FW_ACTION_ALLOW;
    return true;
}

bool ReadProfiles(INetFwPolicy2* policy, std::vector<FirewallProfile>* profiles)
{
    long types = 0;
    if (FAILED(policy->get_CurrentProfileTypes(&types)))
        return false;
    for (long type : { kFwProfileDomain, kFwProfilePrivate, kFwProfilePublic }) {
        FirewallProfile profile;
        if (types & type) {
            if (!ReadProfile(policy, type, &profile))
                return false;
            profiles->push_back(profile);
        }
    }
    return true;
}

bool ReadText(HRESULT (STDMETHODCALLTYPE INetFwRule::*get)(BSTR*), INetFwRule* rule, std::string* text)
{
    CBstr value;
    if (FAILED((rule->*get)(value.Put())))
        return false;
    *text = value.Text();
    return true;
}

FirewallRule ReadRule(INetFwRule* source)
{
    FirewallRule rule;
    VARIANT_BOOL enabled = VARIANT_FALSE, edge = VARIANT_FALSE;
    NET_FW_RULE_DIRECTION direction = NET_FW_RULE_DIR_OUT;
    NET_FW_ACTION action = NET_FW_ACTION_BLOCK;
    long protocol = 0, profiles = 0;
    rule.readable = SUCCEEDED(source->get_Enabled(&enabled)) && SUCCEEDED(source->get_Direction(&direction))
        && SUCCEEDED(source->get_Action(&action)) && SUCCEEDED(source->get_Protocol(&protocol))
        && SUCCEEDED(source->get_Profiles(&profiles)) && SUCCEEDED(source->get_EdgeTraversal(&edge))
        && ReadText(&INetFwRule::get_LocalPorts, source, &rule.localPorts)
        && ReadText(&INetFwRule::get_RemoteAddresses, source, &rule.remoteAddresses)
        && ReadText(&INetFwRule::get_ApplicationName, source, &rule.application)
        && ReadText(&INetFwRule::get_ServiceName, source, &rule.serviceName)
        && ReadText(&INetFwRule::get_InterfaceTypes, source, &rule.interfaceTypes);
    rule.enabled = enabled != VARIANT_FALSE;
    rule.inbound = direction == NET_FW_RULE_DIR_IN;
    rule.allow = action == NET_FW_ACTION_ALLOW;
    rule.protocol = static_cast<int>(protocol);
    rule.profiles = profiles;
    rule.edgeTraversal = edge != VARIANT_FALSE;
    // Not fully read, it may be the rule that lets the connection in.
    if (!rule.readable)
        rule.enabled = rule.inbound = rule.allow = true;
    return rule;
}

// Calls each(rule) for every rule of the policy; false when they cannot be listed.
bool ForEachRule(INetFwPolicy2* policy, const std::function<void(INetFwRule*)>& each)
{
    CComRef<INetFwRules> rules;
    CComRef<IUnknown> unknown;
    CComRef<IEnumVARIANT> items;
    if (FAILED(policy->get_Rules(rules.Put())) || FAILED(rules->get__NewEnum(unknown.Put()))
        || FAILED(unknown->QueryInterface(IID_IEnumVARIANT, items.Out())))
        return false;
    VARIANT item;
    ::VariantInit(&item);
    while (items->Next(1, &item, nullptr) == S_OK) {
        CComRef<INetFwRule> rule;
        if (item.vt == VT_DISPATCH && item.pdispVal
            && SUCCEEDED(item.pdispVal->QueryInterface(IID_INetFwRule, rule.Out())))
            each(rule.Get());
        ::VariantClear(&item);
    }
    return true;
}

bool IsOwn(INetFwRule* rule)
{
    CBstr group;
    return SUCCEEDED(rule->get_Grouping(group.Put())) && group.Get() && std::wstring(group.Get()) == kGroup;
}

// The program's own rule of that name, in its group.
bool FindOwnRule(INetFwPolicy2* policy, const std::wstring& name, CComRef<INetFwRules>* rules)
{
    CComRef<INetFwRule> rule;
    CBstr ruleName(name);
    return SUCCEEDED(policy->get_Rules(rules->Put())) && SUCCEEDED((*rules)->Item(ruleName.Get(), rule.Put()))
        && IsOwn(rule.Get());
}

// Writes the rule's fields to a new firewall rule of the program's group.
bool WriteRule(INetFwRule* target, const std::wstring& name, const FirewallRule& rule)
{
    CBstr ruleName(name), group(kGroup), ports(WideText(rule.localPorts)), program(WideText(rule.application));
    return SUCCEEDED(target->put_Name(ruleName.Get())) && SUCCEEDED(target->put_Grouping(group.Get()))
        && SUCCEEDED(target->put_Protocol(rule.protocol)) && SUCCEEDED(target->put_LocalPorts(ports.Get()))
        && (rule.application.empty() || SUCCEEDED(target->put_ApplicationName(program.Get())))
        && SUCCEEDED(target->put_Direction(NET_FW_RULE_DIR_IN)) && SUCCEEDED(target->put_Action(NET_FW_ACTION_ALLOW))
        && SUCCEEDED(target->put_Profiles(rule.profiles)) && SUCCEEDED(target->put_Enabled(VARIANT_TRUE));
}

long ProtocolNumber(const std::string& protocol)
{
    return protocol == "UDP" ? NET_FW_IP_PROTOCOL_UDP : NET_FW_IP_PROTOCOL_TCP;
}
}

bool ReadFirewall(FirewallState* state)
{
    *state = FirewallState();
    return WithPolicy([state](INetFwPolicy2* policy) {
        return ReadProfiles(policy, &state->current)
            && ForEachRule(policy, [state](INetFwRule* rule) { state->rules.push_back(ReadRule(rule)); });
    });
}

std::string AllowRuleName(const std::string& protocol, const std::string& port)
{
    return "Gatewright " + protocol + " " + port;
}

RuleAdded AddAllowRule(const std::string& protocol, const std::string& port, const std::string& program)
{
    std::wstring name = WideText(AllowRuleName(protocol, port));
    RuleAdded added = RuleAdded::Failed;
    WithPolicy([&](INetFwPolicy2* policy) {
        long profiles = 0;
        CComRef<INetFwRule> rule;
        CComRef<INetFwRules> rules;
        if (FindOwnRule(policy, name, &rules)) {
            added = RuleAdded::AlreadyThere;
            return true;
        }
        if (FAILED(policy->get_CurrentProfileTypes(&profiles))
            || FAILED(::CoCreateInstance(CLSID_NetFwRule, nullptr, CLSCTX_INPROC_SERVER, IID_INetFwRule, rule.Out()))
            || !WriteRule(rule.Get(), name, AllowRuleFor(ProtocolNumber(protocol), port, program, profiles))
            || FAILED(policy->get_Rules(rules.Put())) || FAILED(rules->Add(rule.Get())))
            return false;
        // A firewall may take a rule and keep nothing of it.
        CComRef<INetFwRules> readBack;
        if (FindOwnRule(policy, name, &readBack))
            added = RuleAdded::Added;
        return true;
    });
    return added;
}

void RemoveAllowRule(const std::string& protocol, const std::string& port)
{
    std::wstring name = WideText(AllowRuleName(protocol, port));
    WithPolicy([&name](INetFwPolicy2* policy) {
        CComRef<INetFwRules> rules;
        CBstr ruleName(name);
        return FindOwnRule(policy, name, &rules) && SUCCEEDED(rules->Remove(ruleName.Get()));
    });
}

int RemoveOwnRules()
{
    int removed = -1;
    WithPolicy([&removed](INetFwPolicy2* policy) {
        std::vector<std::wstring> names;
        CComRef<INetFwRules> rules;
        if (!ForEachRule(policy, [&names](INetFwRule* rule) {
                CBstr name;
                if (IsOwn(rule) && SUCCEEDED(rule->get_Name(name.Put())) && name.Get())
                    names.push_back(name.Get());
            }) || FAILED(policy->get_Rules(rules.Put())))
            return false;
        removed = 0;
        for (const std::wstring& name : names) {
            CBstr ruleName(name);
            removed += SUCCEEDED(rules->Remove(ruleName.Get()));
        }
        return true;
    });
    return removed;
}
