#include "PublicAddress.h"
#include "LogLines.h"
#include "../framework/DottedAddress.h"

namespace {
struct Block {
    std::uint32_t first;
    int prefixLength;
};

const Block kNotPublic[] = {
    { 0x00000000, 8 },   // 0.0.0.0/8, this network
    { 0x0A000000, 8 },   // 10.0.0.0/8
    { 0x64400000, 10 },  // 100.64.0.0/10, carrier-grade NAT
    { 0x7F000000, 8 },   // 127.0.0.0/8
    { 0xA9FE0000, 16 },  // 169.254.0.0/16, link local
    { 0xAC100000, 12 },  // 172.16.0.0/12
    { 0xC0000000, 24 },  // 192.0.0.0/24, IETF protocol assignments
    { 0xC0A80000, 16 },  // 192.168.0.0/16
    { 0xC6120000, 15 },  // 198.18.0.0/15, benchmarking
    { 0xE0000000, 3 },   // 224.0.0.0 and above: multicast and reserved
};

bool InBlock(std::uint32_t address, const Block& block)
{
    std::uint32_t mask = ~std::uint32_t(0) << (32 - block.prefixLength);
    return (address & mask) == block.first;
}
}

AddressReach ClassifyExternalAddress(const std::string& address)
{
    std::uint32_t value;
    if (!ParseDottedAddress(address.c_str(), &value))
        return AddressReach::Empty;
    for (const Block& block : kNotPublic) {
        if (InBlock(value, block))
            return AddressReach::NotPublic;
    }
    return AddressReach::Public;
}

std::string CAddressReachTracker::Take(const std::string& address)
{
    AddressReach reach = ClassifyExternalAddress(address);
    bool news = m_bKnown ? reach != m_reach || (reach == AddressReach::NotPublic && address != m_strAddress)
                         : reach != AddressReach::Public;
    m_bKnown = true;
    m_reach = reach;
    m_strAddress = address;
    return news ? FormatAddressReach(reach, address) : std::string();
}
