#include "PortControlMessages.h"
#include <algorithm>

namespace {
const std::uint8_t kResponseBit = 0x80;

// RFC 6887: common header (section 7.1, 7.2), MAP body (11.1), options (7.3).
const std::uint8_t kPcpVersion = 2;
const std::uint8_t kPcpOpMap = 1;
const size_t kPcpHeaderSize = 24;
const size_t kPcpMapSize = 60;
const size_t kPcpNonceAt = 24, kPcpProtocolAt = 36, kPcpInternalPortAt = 40, kPcpExternalPortAt = 42,
             kPcpExternalAddressAt = 44;
const std::uint8_t kOptionThirdParty = 1;
const std::uint8_t kOptionPreferFailure = 2;

// RFC 6886 sections 3.2 and 3.3.
const std::uint8_t kNatPmpVersion = 0;
const std::uint8_t kNatPmpOpAddress = 0;
const std::uint8_t kNatPmpOpMapUdp = 1;
const std::uint8_t kNatPmpOpMapTcp = 2;
const size_t kNatPmpShortestAnswer = 8;
const size_t kNatPmpAddressAnswerSize = 12;
const size_t kNatPmpMapAnswerSize = 16;

bool HasSize(const Datagram& answer, size_t shortest)
{
    return answer.size() >= shortest && answer.size() <= kPortControlLargestAnswer;
}

// PCP carries IPv4 addresses as IPv4-mapped IPv6 addresses (RFC 6887 section 5).
void AppendMapped(Datagram* datagram, std::uint32_t address)
{
    datagram->insert(datagram->end(), 10, 0);
    AppendWord(datagram, 0xffff);
    AppendLong(datagram, address);
}

// Our options' data are 0 or 16 bytes long: none needs padding to 4 bytes.
void AppendOption(Datagram* datagram, std::uint8_t code, std::uint16_t length)
{
    datagram->push_back(code);
    datagram->push_back(0);
    AppendWord(datagram, length);
}

std::uint16_t GetWord(const Datagram& datagram, size_t at)
{
    return std::uint16_t(datagram[at] << 8 | datagram[at + 1]);
}

std::uint32_t GetLong(const Datagram& datagram, size_t at)
{
    return std::uint32_t(GetWord(datagram, at)) << 16 | GetWord(datagram, at + 2);
}

// 0 for an IPv6 address.
std::uint32_t GetMapped(const Datagram& datagram, size_t at)
{
    bool bMapped = std::all_of(datagram.begin() + at, datagram.begin() + at + 10,
                               [](std::uint8_t b) { return b == 0; })
        && GetWord(datagram, at + 10) == 0xffff;
    return bMapped ? GetLong(datagram, at + 12) : 0;
}

std::uint8_t NatPmpMapOpcode(std::uint8_t protocol)
{
    return protocol == kPortControlTcp ? kNatPmpOpMapTcp : kNatPmpOpMapUdp;
}

bool IsNatPmpAnswerTo(const Datagram& answer, std::uint8_t opcode, size_t size)
{
    return HasSize(answer, size) && answer[0] == kNatPmpVersion && answer[1] == (kResponseBit | opcode);
}

// The common part of NAT-PMP answers: result code and epoch.
void TakeNatPmpHead(const Datagram& answer, PortControlResult* result)
{
    result->status = PortControlStatus::Answered;
    result->protocol = PortControlProtocol::NatPmp;
    result->resultCode = GetWord(answer, 2);
    result->epoch = GetLong(answer, 4);
}
}

void AppendWord(Datagram* datagram, std::uint16_t value)
{
    datagram->push_back(std::uint8_t(value >> 8));
    datagram->push_back(std::uint8_t(value));
}

void AppendLong(Datagram* datagram, std::uint32_t value)
{
    AppendWord(datagram, std::uint16_t(value >> 16));
    AppendWord(datagram, std::uint16_t(value));
}

Datagram EncodePcpMap(const PcpMapRequest& request)
{
    Datagram datagram = { kPcpVersion, kPcpOpMap, 0, 0 };
    AppendLong(&datagram, request.lifetime);
    AppendMapped(&datagram, request.clientAddress);
    datagram.insert(datagram.end(), request.nonce.begin(), request.nonce.end());
    datagram.push_back(request.protocol);
    datagram.insert(datagram.end(), 3, 0);
    AppendWord(&datagram, request.internalPort);
    AppendWord(&datagram, request.externalPort);
    // No preferred external address: IPv4's all-zeros address asks for any IPv4 one.
    AppendMapped(&datagram, 0);
    if (request.internalAddress != request.clientAddress) {
        AppendOption(&datagram, kOptionThirdParty, 16);
        AppendMapped(&datagram, request.internalAddress);
    }
    // The user chose the external port: another one would be no use.
    AppendOption(&datagram, kOptionPreferFailure, 0);
    return datagram;
}

bool DecodePcpMap(const Datagram& answer, const PcpMapRequest& request, PortControlResult* result)
{
    if (!HasSize(answer, kPcpHeaderSize) || answer[1] != (kResponseBit | kPcpOpMap))
        return false;
    bool bEchoed = answer.size() >= kPcpMapSize && answer[0] == kPcpVersion
        && std::equal(request.nonce.begin(), request.nonce.end(), answer.begin() + kPcpNonceAt)
        && answer[kPcpProtocolAt] == request.protocol
        && GetWord(answer, kPcpInternalPortAt) == request.internalPort;
    // An UNSUPP_VERSION answer carries the server's version and may lack the body.
    if (!bEchoed && answer[3] != kPcpUnsuppVersion)
        return false;
    result->status = PortControlStatus::Answered;
    result->protocol = PortControlProtocol::Pcp;
    result->resultCode = answer[3];
    result->lifetime = GetLong(answer, 4);
    result->epoch = GetLong(answer, 8);
    if (bEchoed) {
        result->externalPort = GetWord(answer, kPcpExternalPortAt);
        result->externalAddress = GetMapped(answer, kPcpExternalAddressAt);
    }
    return true;
}

bool IsNatPmpAnswer(const Datagram& answer)
{
    // Any opcode: RFC 6886 first showed its "Unsupported Version" answer with
    // opcode 0, its erratum with 128, and routers send either.
    return HasSize(answer, kNatPmpShortestAnswer) && answer[0] == kNatPmpVersion;
}

Datagram EncodeNatPmpMap(std::uint8_t protocol, std::uint16_t internalPort, std::uint16_t externalPort,
                         std::uint32_t lifetime)
{
    Datagram datagram = { kNatPmpVersion, NatPmpMapOpcode(protocol), 0, 0 };
    AppendWord(&datagram, internalPort);
    // A delete's suggested external port must be 0 (RFC 6886 section 3.4).
    AppendWord(&datagram, lifetime ? externalPort : 0);
    AppendLong(&datagram, lifetime);
    return datagram;
}

bool DecodeNatPmpMap(const Datagram& answer, std::uint8_t protocol, std::uint16_t internalPort,
                     PortControlResult* result)
{
    if (!IsNatPmpAnswerTo(answer, NatPmpMapOpcode(protocol), kNatPmpMapAnswerSize)
        || GetWord(answer, 8) != internalPort)
        return false;
    TakeNatPmpHead(answer, result);
    result->externalPort = GetWord(answer, 10);
    result->lifetime = GetLong(answer, 12);
    return true;
}

Datagram EncodeNatPmpAddressRequest()
{
    return Datagram{ kNatPmpVersion, kNatPmpOpAddress };
}

bool DecodeNatPmpAddress(const Datagram& answer, PortControlResult* result)
{
    if (!IsNatPmpAnswerTo(answer, kNatPmpOpAddress, kNatPmpAddressAnswerSize))
        return false;
    TakeNatPmpHead(answer, result);
    result->externalAddress = GetLong(answer, 8);
    return true;
}
