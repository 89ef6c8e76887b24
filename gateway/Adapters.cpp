#include "Adapters.h"
#include "LogLines.h"
#include "../framework/DottedAddress.h"
#include "../framework/Format.h"
#include <winsock2.h>
#include <iphlpapi.h>
#include <algorithm>

namespace {
// Enough for a dozen adapters; Windows says when it needs more.
const ULONG kFirstBufferSize = 16 * 1024;
const int kReadTries = 3;

std::uint32_t Ipv4Of(const SOCKET_ADDRESS& address)
{
    if (!address.lpSockaddr || address.lpSockaddr->sa_family != AF_INET)
        return 0;
    return ntohl(reinterpret_cast<const sockaddr_in*>(address.lpSockaddr)->sin_addr.s_addr);
}

bool IsPhysical(const NetworkAdapter& adapter)
{
    return adapter.ifType == IF_TYPE_ETHERNET_CSMACD || adapter.ifType == IF_TYPE_IEEE80211;
}

// The adapter as the search needs it; false for one it must pass by.
bool TakeAdapter(const IP_ADAPTER_ADDRESSES& from, NetworkAdapter* adapter)
{
    if (from.OperStatus != IfOperStatusUp || from.IfType == IF_TYPE_SOFTWARE_LOOPBACK)
        return false;
    for (const IP_ADAPTER_UNICAST_ADDRESS* unicast = from.FirstUnicastAddress; unicast && !adapter->address;
         unicast = unicast->Next) {
        adapter->address = Ipv4Of(unicast->Address);
        adapter->prefixLength = unicast->OnLinkPrefixLength;
    }
    for (const IP_ADAPTER_GATEWAY_ADDRESS_LH* gateway = from.FirstGatewayAddress; gateway && !adapter->gateway;
         gateway = gateway->Next)
        adapter->gateway = Ipv4Of(gateway->Address);
    adapter->name = from.FriendlyName ? NarrowText(from.FriendlyName) : std::string(from.AdapterName);
    adapter->ifType = from.IfType;
    adapter->ipv6IfIndex = from.Ipv6IfIndex;
    return adapter->address != 0;
}

bool ReadAdapterList(std::vector<BYTE>* buffer)
{
    const ULONG flags = GAA_FLAG_INCLUDE_GATEWAYS | GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST
        | GAA_FLAG_SKIP_DNS_SERVER;
    ULONG size = kFirstBufferSize;
    for (int tries = 0; tries < kReadTries; ++tries) {
        buffer->resize(size);
        ULONG result = ::GetAdaptersAddresses(AF_UNSPEC, flags, nullptr,
                                              reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer->data()), &size);
        if (result == ERROR_SUCCESS)
            return true;
        if (result != ERROR_BUFFER_OVERFLOW)
            return false;
    }
    return false;
}
}

std::vector<NetworkAdapter> ReadNetworkAdapters()
{
    std::vector<BYTE> buffer;
    std::vector<NetworkAdapter> adapters;
    if (!ReadAdapterList(&buffer))
        return adapters;
    for (auto* from = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data()); from; from = from->Next) {
        NetworkAdapter adapter;
        if (TakeAdapter(*from, &adapter))
            adapters.push_back(adapter);
    }
    return PhysicalFirst(std::move(adapters));
}

std::vector<NetworkAdapter> PhysicalFirst(std::vector<NetworkAdapter> adapters)
{
    std::stable_partition(adapters.begin(), adapters.end(), IsPhysical);
    return adapters;
}

bool AdapterHolds(const NetworkAdapter& adapter, std::uint32_t address)
{
    if (adapter.prefixLength == 0 || adapter.prefixLength > 32)
        return false;
    std::uint32_t mask = adapter.prefixLength == 32 ? ~0U : ~(~0U >> adapter.prefixLength);
    return address != 0 && (address & mask) == (adapter.address & mask);
}

const NetworkAdapter* AdapterHolding(const std::vector<NetworkAdapter>& adapters, std::uint32_t address)
{
    auto found = std::find_if(adapters.begin(), adapters.end(),
                              [address](const NetworkAdapter& adapter) { return AdapterHolds(adapter, address); });
    return found == adapters.end() ? nullptr : &*found;
}

std::vector<NetworkAdapter> AdaptersWithGateways(const std::vector<NetworkAdapter>& adapters)
{
    std::vector<NetworkAdapter> routed;
    std::copy_if(adapters.begin(), adapters.end(), std::back_inserter(routed),
                 [](const NetworkAdapter& adapter) { return adapter.gateway != 0; });
    return routed;
}

std::string AdapterUsedLine(const std::vector<NetworkAdapter>& adapters, const NetworkAdapter* used)
{
    if (adapters.size() < 2 || !used)
        return std::string();
    return FormatAdapterUsed(used->name, DottedText(used->address));
}
