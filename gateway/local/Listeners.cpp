#include "Listeners.h"
#include "../../framework/DottedAddress.h"
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <cstdlib>
#include <cstring>

namespace {
// Calls read(buffer, &size) until the buffer is large enough; false on any other error.
template <typename Read>
bool ReadTable(std::vector<BYTE>* buffer, Read read)
{
    DWORD size = 16 * 1024;
    DWORD result = ERROR_INSUFFICIENT_BUFFER;
    while (result == ERROR_INSUFFICIENT_BUFFER) {
        buffer->resize(size);
        result = read(buffer->data(), &size);
    }
    return result == NO_ERROR;
}

unsigned LocalPort(DWORD tablePort)
{
    return ntohs(static_cast<u_short>(tablePort));
}

bool IsUnspecified(const UCHAR (&address)[16])
{
    static const UCHAR kUnspecified[16] = {};
    return std::memcmp(address, kUnspecified, 16) == 0;
}

// One table: the rows that serve an IPv4 row, each with the address addressOf gives.
template <typename Table, typename AddressOf>
bool ReadSockets(ULONG family, bool udp, AddressOf addressOf, std::vector<LocalSocket>* sockets)
{
    std::vector<BYTE> buffer;
    if (!ReadTable(&buffer, [family, udp](BYTE* data, DWORD* size) {
            return udp ? ::GetExtendedUdpTable(data, size, FALSE, family, UDP_TABLE_OWNER_PID, 0)
                       : ::GetExtendedTcpTable(data, size, FALSE, family, TCP_TABLE_OWNER_PID_LISTENER, 0);
        }))
        return false;
    auto* table = reinterpret_cast<const Table*>(buffer.data());
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        DWORD address = 0;
        if (addressOf(table->table[i], &address))
            sockets->push_back({ udp, address, LocalPort(table->table[i].dwLocalPort), table->table[i].dwOwningPid });
    }
    return true;
}

const auto kIpv4Address = [](const auto& row, DWORD* address) {
    *address = ntohl(row.dwLocalAddr);
    return true;
};
const auto kAnyIpv6Address = [](const auto& row, DWORD*) { return IsUnspecified(row.ucLocalAddr); };
}

bool ReadLocalSockets(std::vector<LocalSocket>* sockets)
{
    sockets->clear();
    // A machine without IPv6 has no IPv6 tables: IPv4 alone is an answer.
    if (!ReadSockets<MIB_TCPTABLE_OWNER_PID>(AF_INET, false, kIpv4Address, sockets)
        || !ReadSockets<MIB_UDPTABLE_OWNER_PID>(AF_INET, true, kIpv4Address, sockets))
        return false;
    ReadSockets<MIB_TCP6TABLE_OWNER_PID>(AF_INET6, false, kAnyIpv6Address, sockets);
    ReadSockets<MIB_UDP6TABLE_OWNER_PID>(AF_INET6, true, kAnyIpv6Address, sockets);
    return true;
}

const LocalSocket* FindServingSocket(const std::vector<LocalSocket>& sockets, const MappingEntry& row)
{
    std::uint32_t address = 0;
    ParseDottedAddress(row.internalIp.c_str(), &address);
    bool udp = row.protocol == "UDP";
    unsigned port = static_cast<unsigned>(std::atol(row.localPort.c_str()));
    for (const LocalSocket& socket : sockets) {
        if (socket.udp == udp && socket.port == port && (socket.address == 0 || socket.address == address))
            return &socket;
    }
    return nullptr;
}

std::vector<DWORD> ThisMachineAddresses()
{
    std::vector<DWORD> addresses;
    std::vector<BYTE> buffer;
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    if (!ReadTable(&buffer, [flags](BYTE* data, DWORD* size) {
            ULONG result = ::GetAdaptersAddresses(AF_INET, flags, nullptr,
                                                  reinterpret_cast<IP_ADAPTER_ADDRESSES*>(data), size);
            return result == ERROR_BUFFER_OVERFLOW ? static_cast<ULONG>(ERROR_INSUFFICIENT_BUFFER) : result;
        }))
        return addresses;
    for (auto* adapter = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter;
         adapter = adapter->Next) {
        for (auto* unicast = adapter->FirstUnicastAddress; unicast; unicast = unicast->Next) {
            auto* address = reinterpret_cast<const sockaddr_in*>(unicast->Address.lpSockaddr);
            addresses.push_back(ntohl(address->sin_addr.s_addr));
        }
    }
    return addresses;
}

std::string ProgramPath(DWORD pid)
{
    HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process)
        return std::string();
    char path[MAX_PATH];
    DWORD size = MAX_PATH;
    BOOL read = ::QueryFullProcessImageNameA(process, 0, path, &size);
    ::CloseHandle(process);
    return read ? std::string(path, size) : std::string();
}
