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
// RFC 6886 section 3.1; RFC 6887 section 8.1.1 (IRT, MRT).
const DWORD kNatPmpFirstWaitMs = 250;
// RFC 6887 waits 3 s before the first resend, as long as a request may take
// here altogether: one datagram lost would lose the router. A router on the
// LAN answers within milliseconds, so the request goes again after about
// half a second and once more about a second later, within the bound.
const DWORD kPcpFirstWaitMs = 500;
const DWORD kPcpLongestWaitMs = 1024 * 1000;

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
    Datagram answer(kPortControlLargestAnswer);
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
