#include "PortControl.h"
#include <algorithm>
#include <cstring>
#include <iterator>
#include <random>

namespace {
const BYTE kResponseBit = 0x80;

// RFC 6887: common header (section 7.1, 7.2), MAP body (11.1), options (7.3).
const BYTE kPcpVersion = 2;
const BYTE kPcpOpMap = 1;
const int kPcpUnsuppVersion = 1;
const size_t kPcpHeaderSize = 24;
const size_t kPcpMapSize = 60;
const size_t kPcpMaxSize = 1100;
const size_t kPcpNonceAt = 24, kPcpProtocolAt = 36, kPcpInternalPortAt = 40, kPcpExternalPortAt = 42,
             kPcpExternalAddressAt = 44;
const BYTE kOptionThirdParty = 1;
const BYTE kOptionPreferFailure = 2;

// RFC 6886 sections 3.2 and 3.3.
const BYTE kNatPmpVersion = 0;
const BYTE kNatPmpOpAddress = 0;
const BYTE kNatPmpOpMapUdp = 1;
const BYTE kNatPmpOpMapTcp = 2;
const size_t kNatPmpShortestAnswer = 8;
const size_t kNatPmpAddressAnswerSize = 12;
const size_t kNatPmpMapAnswerSize = 16;

// RFC 6886 section 3.1; RFC 6887 section 8.1.1 (IRT, MRT).
const DWORD kNatPmpFirstWaitMs = 250;
const DWORD kPcpFirstWaitMs = 3000;
const DWORD kPcpLongestWaitMs = 1024 * 1000;

void AppendWord(Datagram* datagram, WORD value)
{
    datagram->push_back(BYTE(value >> 8));
    datagram->push_back(BYTE(value));
}

void AppendLong(Datagram* datagram, DWORD value)
{
    AppendWord(datagram, WORD(value >> 16));
    AppendWord(datagram, WORD(value));
}

// PCP carries IPv4 addresses as IPv4-mapped IPv6 addresses (RFC 6887 section 5).
void AppendMapped(Datagram* datagram, DWORD address)
{
    datagram->insert(datagram->end(), 10, 0);
    AppendWord(datagram, 0xffff);
    AppendLong(datagram, address);
}

// Our options' data are 0 or 16 bytes long: none needs padding to 4 bytes.
void AppendOption(Datagram* datagram, BYTE code, WORD length)
{
    datagram->push_back(code);
    datagram->push_back(0);
    AppendWord(datagram, length);
}

WORD GetWord(const Datagram& datagram, size_t at)
{
    return WORD(datagram[at] << 8 | datagram[at + 1]);
}

DWORD GetLong(const Datagram& datagram, size_t at)
{
    return DWORD(GetWord(datagram, at)) << 16 | GetWord(datagram, at + 2);
}

// 0 for an IPv6 address.
DWORD GetMapped(const Datagram& datagram, size_t at)
{
    bool bMapped = std::all_of(datagram.begin() + at, datagram.begin() + at + 10, [](BYTE b) { return b == 0; })
        && GetWord(datagram, at + 10) == 0xffff;
    return bMapped ? GetLong(datagram, at + 12) : 0;
}

BYTE NatPmpMapOpcode(BYTE protocol)
{
    return protocol == IPPROTO_TCP ? kNatPmpOpMapTcp : kNatPmpOpMapUdp;
}

bool IsNatPmpAnswerTo(const Datagram& answer, BYTE opcode, size_t size)
{
    return answer.size() >= size && answer[0] == kNatPmpVersion && answer[1] == (kResponseBit | opcode);
}

// The common part of NAT-PMP answers: result code and epoch.
void TakeNatPmpHead(const Datagram& answer, PortControlResult* result)
{
    result->status = PortControlStatus::Answered;
    result->protocol = PortControlProtocol::NatPmp;
    result->resultCode = GetWord(answer, 2);
    result->epoch = GetLong(answer, 4);
}

const char* kPcpResultNames[] = {
    "SUCCESS", "UNSUPP_VERSION", "NOT_AUTHORIZED", "MALFORMED_REQUEST", "UNSUPP_OPCODE",
    "UNSUPP_OPTION", "MALFORMED_OPTION", "NETWORK_FAILURE", "NO_RESOURCES", "UNSUPP_PROTOCOL",
    "USER_EX_QUOTA", "CANNOT_PROVIDE_EXTERNAL", "ADDRESS_MISMATCH", "EXCESSIVE_REMOTE_PEERS",
};
const char* kNatPmpResultNames[] = {
    "Success", "Unsupported Version", "Not Authorized/Refused", "Network Failure", "Out of resources",
    "Unsupported opcode",
};
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
    if (answer.size() < kPcpHeaderSize || answer[1] != (kResponseBit | kPcpOpMap))
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
    return answer.size() >= kNatPmpShortestAnswer && answer[0] == kNatPmpVersion;
}

Datagram EncodeNatPmpMap(BYTE protocol, WORD internalPort, WORD externalPort, DWORD lifetime)
{
    Datagram datagram = { kNatPmpVersion, NatPmpMapOpcode(protocol), 0, 0 };
    AppendWord(&datagram, internalPort);
    // A delete's suggested external port must be 0 (RFC 6886 section 3.4).
    AppendWord(&datagram, lifetime ? externalPort : 0);
    AppendLong(&datagram, lifetime);
    return datagram;
}

bool DecodeNatPmpMap(const Datagram& answer, BYTE protocol, WORD internalPort, PortControlResult* result)
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

DWORD RetransmitWaitMs(PortControlProtocol protocol, DWORD previousMs)
{
    if (protocol == PortControlProtocol::NatPmp)
        return previousMs ? previousMs * 2 : kNatPmpFirstWaitMs;
    // RT = (1 + RAND) * MIN(2 * RTprev, MRT), RAND from -0.1 to +0.1, so
    // that clients a router restart woke do not all send at once.
    DWORD dwBaseMs = previousMs ? std::min(previousMs * 2, kPcpLongestWaitMs) : kPcpFirstWaitMs;
    std::random_device random;
    int permille = std::uniform_int_distribution<int>(-100, 100)(random);
    return DWORD(LONGLONG(dwBaseMs) * (1000 + permille) / 1000);
}

bool EpochShowsRestart(PortControlProtocol protocol, const EpochSample& previous, const EpochSample& current)
{
    LONGLONG serverDelta = LONGLONG(current.epoch) - LONGLONG(previous.epoch);
    LONGLONG clientDelta = LONGLONG(current.localSeconds) - LONGLONG(previous.localSeconds);
    // RFC 6886 section 3.6: behind 7/8 of the time passed here by more than 2 s.
    if (protocol == PortControlProtocol::NatPmp)
        return serverDelta + 2 < clientDelta * 7 / 8;
    // RFC 6887 section 8.5: back by more than 1 s (less is reordering), or
    // the two clocks apart by more than 2 s and 1/16 of the time.
    return serverDelta < -1 || clientDelta + 2 < serverDelta - serverDelta / 16
        || serverDelta + 2 < clientDelta - clientDelta / 16;
}

const char* PortControlResultName(PortControlProtocol protocol, int resultCode)
{
    bool bPcp = protocol == PortControlProtocol::Pcp;
    int count = bPcp ? int(std::size(kPcpResultNames)) : int(std::size(kNatPmpResultNames));
    if (resultCode < 0 || resultCode >= count)
        return "UNKNOWN";
    return bPcp ? kPcpResultNames[resultCode] : kNatPmpResultNames[resultCode];
}
