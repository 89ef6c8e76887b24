#include "PortControl.h"
#include "../../framework/App.h"
#include <iphlpapi.h>
#include <wincrypt.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <random>
#include <string>

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
// RFC 6887 waits 3 s before the first resend, as long as a request may take
// here altogether: one datagram lost would lose the router. A router on the
// LAN answers within milliseconds, so the request goes again after about
// half a second and once more about a second later, within the bound.
const DWORD kPcpFirstWaitMs = 500;
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

PortControlResult Unanswered(PortControlProtocol protocol)
{
    PortControlResult result;
    result.protocol = protocol;
    return result;
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

// A UDP socket connected to the router: it takes datagrams from the router's
// address and port only, and its own address is the one the router sees.
class CRouterSocket {
public:
    CRouterSocket(DWORD gateway, WORD port);
    ~CRouterSocket();
    CRouterSocket(const CRouterSocket&) = delete;
    CRouterSocket& operator=(const CRouterSocket&) = delete;

    bool IsOpen() const { return m_socket != INVALID_SOCKET; }
    DWORD LocalAddress() const { return m_dwLocal; }
    // Sends request, and again on the protocol's schedule, until take accepts
    // an answer (true) or the deadline passes (false).
    bool Exchange(PortControlProtocol protocol, const Datagram& request, ULONGLONG deadline,
                  const std::function<bool(const Datagram&)>& take);

private:
    // >0 when a datagram waits, 0 when the time ran out, <0 on failure.
    int WaitReadable(ULONGLONG ms) const;
    // >0 when take accepted the datagram, 0 when not, <0 when the router said
    // that nothing listens.
    int TakeAnswer(const std::function<bool(const Datagram&)>& take) const;

    SOCKET m_socket;
    DWORD m_dwLocal = 0;
};

CRouterSocket::CRouterSocket(DWORD gateway, WORD port) : m_socket(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP))
{
    sockaddr_in router = {};
    router.sin_family = AF_INET;
    router.sin_addr.s_addr = htonl(gateway);
    router.sin_port = htons(port);
    sockaddr_in local = {};
    int size = sizeof(local);
    if (IsOpen() && ::connect(m_socket, reinterpret_cast<sockaddr*>(&router), sizeof(router)) == 0
        && ::getsockname(m_socket, reinterpret_cast<sockaddr*>(&local), &size) == 0) {
        m_dwLocal = ntohl(local.sin_addr.s_addr);
        return;
    }
    if (IsOpen())
        ::closesocket(m_socket);
    m_socket = INVALID_SOCKET;
}

CRouterSocket::~CRouterSocket()
{
    if (IsOpen())
        ::closesocket(m_socket);
}

bool CRouterSocket::Exchange(PortControlProtocol protocol, const Datagram& request, ULONGLONG deadline,
                             const std::function<bool(const Datagram&)>& take)
{
    DWORD dwWaitMs = RetransmitWaitMs(protocol, 0);
    ULONGLONG now = ::GetTickCount64();
    ULONGLONG resend = now;
    while (IsOpen() && now < deadline) {
        if (now >= resend) {
            // A send that fails is as a datagram lost: the schedule sends again.
            ::send(m_socket, reinterpret_cast<const char*>(request.data()), int(request.size()), 0);
            resend = now + dwWaitMs;
            dwWaitMs = RetransmitWaitMs(protocol, dwWaitMs);
        }
        int ready = WaitReadable(std::min(resend, deadline) - now);
        if (ready > 0)
            ready = TakeAnswer(take);
        if (ready != 0)
            return ready > 0;
        now = ::GetTickCount64();
    }
    return false;
}

int CRouterSocket::WaitReadable(ULONGLONG ms) const
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(m_socket, &readable);
    timeval wait = { long(ms / 1000), long(ms % 1000 * 1000) };
    return ::select(0, &readable, nullptr, nullptr, &wait);
}

int CRouterSocket::TakeAnswer(const std::function<bool(const Datagram&)>& take) const
{
    Datagram answer(kPcpMaxSize);
    int received = ::recv(m_socket, reinterpret_cast<char*>(answer.data()), int(answer.size()), 0);
    if (received >= 0) {
        answer.resize(received);
        return take(answer) ? 1 : 0;
    }
    // The router's "port unreachable": nothing listens there, and nothing
    // will within the bound. Other failures are as a datagram lost.
    int error = ::WSAGetLastError();
    return error == WSAECONNRESET || error == WSAECONNREFUSED ? -1 : 0;
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

CPortControl::CPortControl(DWORD gateway, const PortControlKey& key, WORD port, DWORD boundMs)
    : m_dwGateway(gateway), m_key(key), m_wPort(port), m_dwBoundMs(boundMs)
{
}

PortControlResult CPortControl::Map(BYTE protocol, DWORD internalAddress, WORD internalPort, WORD externalPort,
                                    DWORD lifetime)
{
    ULONGLONG deadline = ::GetTickCount64() + m_dwBoundMs;
    CRouterSocket socket(m_dwGateway, m_wPort);
    if (!socket.IsOpen())
        return Unanswered(m_bNatPmp ? PortControlProtocol::NatPmp : PortControlProtocol::Pcp);
    PcpMapRequest request = { MakeMappingNonce(m_key, protocol, internalAddress, internalPort),
                              socket.LocalAddress(), internalAddress, protocol, internalPort, externalPort,
                              lifetime };
    PortControlResult result;
    if (!m_bNatPmp)
        result = MapOverPcp(socket, request, deadline);
    if (m_bNatPmp)
        result = MapOverNatPmp(socket, request, deadline);
    NoteEpoch(&result);
    return result;
}

PortControlResult CPortControl::Delete(BYTE protocol, DWORD internalAddress, WORD internalPort, WORD externalPort)
{
    return Map(protocol, internalAddress, internalPort, externalPort, 0);
}

PortControlResult CPortControl::QueryExternalAddress()
{
    ULONGLONG deadline = ::GetTickCount64() + m_dwBoundMs;
    CRouterSocket socket(m_dwGateway, m_wPort);
    PortControlResult result = Unanswered(PortControlProtocol::NatPmp);
    socket.Exchange(PortControlProtocol::NatPmp, EncodeNatPmpAddressRequest(), deadline,
                    [&](const Datagram& answer) { return DecodeNatPmpAddress(answer, &result); });
    NoteEpoch(&result);
    return result;
}

PortControlResult CPortControl::MapOverPcp(CRouterSocket& socket, const PcpMapRequest& request, ULONGLONG deadline)
{
    PortControlResult result = Unanswered(PortControlProtocol::Pcp);
    bool bNatPmpAnswer = false;
    socket.Exchange(PortControlProtocol::Pcp, EncodePcpMap(request), deadline, [&](const Datagram& answer) {
        bNatPmpAnswer = IsNatPmpAnswer(answer);
        return bNatPmpAnswer || DecodePcpMap(answer, request, &result);
    });
    if (bNatPmpAnswer || result.resultCode == kPcpUnsuppVersion)
        m_bNatPmp = true;
    return result;
}

PortControlResult CPortControl::MapOverNatPmp(CRouterSocket& socket, const PcpMapRequest& request,
                                              ULONGLONG deadline)
{
    PortControlResult result = Unanswered(PortControlProtocol::NatPmp);
    if (request.internalAddress != request.clientAddress) {
        result.status = PortControlStatus::NotForOtherHosts;
        return result;
    }
    Datagram datagram = EncodeNatPmpMap(request.protocol, request.internalPort, request.externalPort,
                                        request.lifetime);
    socket.Exchange(PortControlProtocol::NatPmp, datagram, deadline, [&](const Datagram& answer) {
        return DecodeNatPmpMap(answer, request.protocol, request.internalPort, &result);
    });
    return result;
}

void CPortControl::NoteEpoch(PortControlResult* result)
{
    if (result->status != PortControlStatus::Answered)
        return;
    EpochSample now = { result->epoch, ::GetTickCount64() / 1000 };
    auto last = m_epochs.find(result->protocol);
    result->routerRestarted = last != m_epochs.end() && EpochShowsRestart(result->protocol, last->second, now);
    m_epochs[result->protocol] = now;
}

MappingNonce MakeMappingNonce(const PortControlKey& key, BYTE protocol, DWORD internalAddress, WORD internalPort)
{
    Datagram data(key.begin(), key.end());
    data.push_back(protocol);
    AppendLong(&data, internalAddress);
    AppendWord(&data, internalPort);
    // SHA-256 of key and mapping; where the system cannot hash, the key's
    // bytes with the mapping folded in still name it alone.
    MappingNonce nonce;
    std::copy(key.begin(), key.begin() + nonce.size(), nonce.begin());
    for (size_t i = key.size(); i < data.size(); ++i)
        nonce[i - key.size()] ^= data[i];
    HCRYPTPROV hProvider = 0;
    HCRYPTHASH hHash = 0;
    BYTE digest[32];
    DWORD size = sizeof(digest);
    if (::CryptAcquireContextA(&hProvider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
        if (::CryptCreateHash(hProvider, CALG_SHA_256, 0, 0, &hHash)
            && ::CryptHashData(hHash, data.data(), DWORD(data.size()), 0)
            && ::CryptGetHashParam(hHash, HP_HASHVAL, digest, &size, 0) && size == sizeof(digest))
            std::copy(digest, digest + nonce.size(), nonce.begin());
        if (hHash)
            ::CryptDestroyHash(hHash);
        ::CryptReleaseContext(hProvider, 0);
    }
    return nonce;
}

PortControlKey LoadPortControlKey()
{
    const char* kSection = "Settings";
    const char* kEntry = "PortControlKey";
    PortControlKey key;
    std::string stored = GetApp()->GetProfileString(kSection, kEntry, "");
    bool bWhole = stored.size() == 2 * key.size()
        && stored.find_first_not_of("0123456789abcdef") == std::string::npos;
    for (size_t i = 0; bWhole && i < key.size(); ++i)
        key[i] = BYTE(std::strtoul(stored.substr(2 * i, 2).c_str(), nullptr, 16));
    if (bWhole)
        return key;
    std::random_device random;
    std::string text;
    for (BYTE& b : key) {
        b = BYTE(random());
        char hex[3];
        std::snprintf(hex, sizeof(hex), "%02x", b);
        text += hex;
    }
    GetApp()->WriteProfileString(kSection, kEntry, text.c_str());
    return key;
}
