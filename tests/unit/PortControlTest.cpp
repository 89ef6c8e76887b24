#include "../../gateway/pcp/PortControl.h"
#include "../../gateway/pcp/PortControlRouter.h"
#include "../../gateway/LogLines.h"
#include "../../gateway/Notices.h"
#include "../../gateway/upnp/Discovery.h"
#include <gtest/gtest.h>
#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <tuple>

namespace {

const DWORD kLoopback = 0x7f000001;
const DWORD kThisHost = 0xc0a80102;   // 192.168.1.2
const DWORD kOtherHost = 0xc0a80105;  // 192.168.1.5
const DWORD kPublic = 0xcb007105;     // 203.0.113.5
const PortControlKey kKey = { 7, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15 };
const PortControlProtocol kPcp = PortControlProtocol::Pcp, kNatPmp = PortControlProtocol::NatPmp;

typedef std::vector<Datagram> Datagrams;

// What an answer told, to compare at once.
std::tuple<PortControlProtocol, int, int, DWORD, DWORD, DWORD> Told(const PortControlResult& result)
{
    EXPECT_EQ(PortControlStatus::Answered, result.status);
    return std::make_tuple(result.protocol, result.resultCode, int(result.externalPort), result.externalAddress,
                           result.lifetime, result.epoch);
}

Datagram Mapped(DWORD a)
{
    return { 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, BYTE(a >> 24), BYTE(a >> 16), BYTE(a >> 8), BYTE(a) };
}

Datagram Slice(const Datagram& datagram, size_t at, size_t size)
{
    return Datagram(datagram.begin() + at, datagram.begin() + at + size);
}

// A router's answer to a PCP MAP request: its MAP body echoed, with kPublic.
Datagram PcpAnswer(const Datagram& request, BYTE resultCode, BYTE epoch)
{
    Datagram answer = Slice(request, 0, 60), address = Mapped(kPublic);
    answer[1] |= 0x80;
    answer[3] = resultCode;
    std::fill(answer.begin() + 8, answer.begin() + 24, 0);
    answer[11] = epoch;
    std::copy(address.begin(), address.end(), answer.begin() + 44);
    return answer;
}

// A router's success answer to a NAT-PMP map request: the suggested port, epoch 9.
Datagram NatPmpMapAnswer(const Datagram& request)
{
    Datagram answer = { 0, BYTE(request[1] | 0x80), 0, 0, 0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0 };
    std::copy(request.begin() + 4, request.end(), answer.begin() + 8);
    return answer;
}

TEST(PortControlPcp, RequestHasTheRfcLayout)
{
    PcpMapRequest sample = { { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12 }, kThisHost, kThisHost, IPPROTO_TCP, 80,
                             8080, 7200 };
    Datagram request = EncodePcpMap(sample);
    ASSERT_EQ(64u, request.size());
    EXPECT_EQ((Datagram{ 2, 1, 0, 0, 0, 0, 0x1c, 0x20 }), Slice(request, 0, 8));  // lifetime 7200
    EXPECT_EQ(Mapped(kThisHost), Slice(request, 8, 16));
    EXPECT_EQ(Datagram(sample.nonce.begin(), sample.nonce.end()), Slice(request, 24, 12));
    EXPECT_EQ((Datagram{ 6, 0, 0, 0, 0, 80, 0x1f, 0x90 }), Slice(request, 36, 8));
    EXPECT_EQ(Mapped(0), Slice(request, 44, 16));
    EXPECT_EQ((Datagram{ 2, 0, 0, 0 }), Slice(request, 60, 4));  // PREFER_FAILURE

    // Another host is named in THIRD_PARTY; the header keeps the sender.
    sample.internalAddress = kOtherHost;
    Datagram forOther = EncodePcpMap(sample);
    ASSERT_EQ(84u, forOther.size());
    EXPECT_EQ(Slice(request, 0, 60), Slice(forOther, 0, 60));
    EXPECT_EQ((Datagram{ 1, 0, 0, 16 }), Slice(forOther, 60, 4));
    EXPECT_EQ(Mapped(kOtherHost), Slice(forOther, 64, 16));
    EXPECT_EQ((Datagram{ 2, 0, 0, 0 }), Slice(forOther, 80, 4));
}

TEST(PortControlPcp, AnswerIsTakenOnlyWhenItEchoesTheRequest)
{
    PcpMapRequest request = { {}, kThisHost, kThisHost, IPPROTO_TCP, 80, 8080, 7200 };
    Datagram answer = PcpAnswer(EncodePcpMap(request), 0, 123);
    PortControlResult result;
    ASSERT_TRUE(DecodePcpMap(answer, request, &result));
    EXPECT_EQ(std::make_tuple(kPcp, 0, 8080, kPublic, 7200ul, 123ul), Told(result));
    // Our own request, another version, nonce, protocol or internal port.
    const std::pair<int, int> changes[] = { { 1, 1 }, { 0, 1 }, { 30, 1 }, { 36, 17 }, { 41, 81 } };
    for (auto change : changes) {
        Datagram other = answer;
        other[change.first] = BYTE(change.second);
        EXPECT_FALSE(DecodePcpMap(other, request, &result)) << "byte " << change.first;
    }
    EXPECT_FALSE(DecodePcpMap(Slice(answer, 0, 59), request, &result));
}

TEST(PortControlAnswers, NoneLongerThanAPcpMessageIsTaken)
{
    PcpMapRequest request = { {}, kThisHost, kThisHost, IPPROTO_TCP, 80, 8080, 7200 };
    Datagram pcp = PcpAnswer(EncodePcpMap(request), 0, 123);
    Datagram natPmp = NatPmpMapAnswer(EncodeNatPmpMap(IPPROTO_TCP, 80, 8080, 7200));
    Datagram address = { 0, 128, 0, 0, 0, 0, 0x30, 0x39, 203, 0, 113, 5 };
    PortControlResult result;
    for (size_t size : { kPortControlLargestAnswer, kPortControlLargestAnswer + 1 }) {
        bool bTaken = size <= kPortControlLargestAnswer;
        pcp.resize(size);
        natPmp.resize(size);
        address.resize(size);
        EXPECT_EQ(bTaken, DecodePcpMap(pcp, request, &result)) << size;
        EXPECT_EQ(bTaken, DecodeNatPmpMap(natPmp, IPPROTO_TCP, 80, &result)) << size;
        EXPECT_EQ(bTaken, DecodeNatPmpAddress(address, &result)) << size;
        EXPECT_EQ(bTaken, IsNatPmpAnswer(natPmp)) << size;
    }
}

TEST(PortControlNatPmp, RequestsHaveTheRfcLayoutAndAnswersMatchThem)
{
    EXPECT_EQ((Datagram{ 0, 0 }), EncodeNatPmpAddressRequest());
    EXPECT_EQ((Datagram{ 0, 2, 0, 0, 0, 80, 0x1f, 0x90, 0, 0, 0x1c, 0x20 }),
              EncodeNatPmpMap(IPPROTO_TCP, 80, 8080, 7200));
    // A delete suggests no external port.
    EXPECT_EQ((Datagram{ 0, 1, 0, 0, 0, 80, 0, 0, 0, 0, 0, 0 }), EncodeNatPmpMap(IPPROTO_UDP, 80, 8080, 0));

    Datagram map = { 0, 130, 0, 4, 0, 0, 0x30, 0x39, 0, 80, 0x1f, 0x91, 0, 0, 0x0e, 0x10 };
    PortControlResult result;
    ASSERT_TRUE(DecodeNatPmpMap(map, IPPROTO_TCP, 80, &result));
    EXPECT_EQ(std::make_tuple(kNatPmp, 4, 8081, 0ul, 3600ul, 12345ul), Told(result));
    EXPECT_FALSE(DecodeNatPmpMap(map, IPPROTO_UDP, 80, &result));
    EXPECT_FALSE(DecodeNatPmpMap(map, IPPROTO_TCP, 81, &result));
    result = PortControlResult();
    ASSERT_TRUE(DecodeNatPmpAddress({ 0, 128, 0, 0, 0, 0, 0x30, 0x39, 203, 0, 113, 5 }, &result));
    EXPECT_EQ(std::make_tuple(kNatPmp, 0, 0, kPublic, 0ul, 12345ul), Told(result));
}

TEST(PortControlNames, ResultCodesHaveTheirRfcNames)
{
    EXPECT_STREQ("NO_RESOURCES", PortControlResultName(kPcp, 8));
    EXPECT_STREQ("EXCESSIVE_REMOTE_PEERS", PortControlResultName(kPcp, 13));
    EXPECT_STREQ("Not Authorized/Refused", PortControlResultName(kNatPmp, 2));
    EXPECT_STREQ("UNKNOWN", PortControlResultName(kNatPmp, 6));
}

TEST(PortControlRetransmit, EachProtocolWaitsAsItsRfcSays)
{
    EXPECT_EQ(250u, RetransmitWaitMs(kNatPmp, 0));
    EXPECT_EQ(500u, RetransmitWaitMs(kNatPmp, 250));
    // Sent at least three times within the request's 3 s bound.
    DWORD first = RetransmitWaitMs(kPcp, 0), second = RetransmitWaitMs(kPcp, first);
    EXPECT_TRUE(first >= 450 && first <= 550) << first;
    EXPECT_TRUE(second >= 2 * first * 9 / 10 && second <= 2 * first * 11 / 10) << second;
    EXPECT_LT(first + second, kPortControlBoundMs);
    EXPECT_LE(RetransmitWaitMs(kPcp, 1000000), 1126400u);
}

TEST(PortControlEpoch, RestartIsSeenAndProgressIsNot)
{
    const EpochSample before = { 1000, 50000 };
    EXPECT_FALSE(EpochShowsRestart(kPcp, before, { 1600, 50600 }));
    EXPECT_FALSE(EpochShowsRestart(kPcp, before, { 999, 50000 }));  // answers reordered
    EXPECT_TRUE(EpochShowsRestart(kPcp, before, { 998, 50000 }));
    EXPECT_TRUE(EpochShowsRestart(kPcp, before, { 1500, 54000 }));  // restarted long ago
    // NAT-PMP lets the router's clock run 1/8 slow.
    EXPECT_FALSE(EpochShowsRestart(kNatPmp, before, { 1900, 51000 }));
    EXPECT_TRUE(EpochShowsRestart(kPcp, before, { 1900, 51000 }));
    EXPECT_TRUE(EpochShowsRestart(kNatPmp, before, { 10, 50600 }));
    // The router's clock ahead of ours: by more than 2 s and 1/16 of its time
    // it lost its state (RFC 6887 8.5); just inside that it did not.
    EXPECT_TRUE(EpochShowsRestart(kPcp, before, { 1700, 50600 }));
    EXPECT_FALSE(EpochShowsRestart(kPcp, before, { 1640, 50600 }));
}

TEST(PortControlRenewal, ComesBeforeHalfTheGrantedLeaseAtLeastDailyAndNeverSpins)
{
    EXPECT_EQ(1799000u, RenewalDelayMs(3600));
    // Half the lease less a second, but never sooner than a second: a router
    // granting a few seconds or none at all is not asked again and again at once.
    const DWORD expected[] = { 1000, 1000, 1000, 1000, 1000, 1500, 2000, 2500, 3000, 3500, 4000 };
    for (DWORD lifetime = 0; lifetime <= 10; ++lifetime)
        EXPECT_EQ(expected[lifetime], RenewalDelayMs(lifetime)) << lifetime << " s";
    // Past 24 days a tick count ahead would read as passed.
    EXPECT_EQ(86400000u, RenewalDelayMs(0xFFFFFFFFu));
}

TEST(PortControlKey, MadeOnceAndLoadedAgainByTheNextStart)
{
    ::RegDeleteKeyValueA(HKEY_CURRENT_USER, "Software\\Gatewright\\Gatewright\\Settings", "PortControlKey");
    PortControlKey first = LoadPortControlKey();
    EXPECT_EQ(first, LoadPortControlKey());
    ::RegDeleteKeyValueA(HKEY_CURRENT_USER, "Software\\Gatewright\\Gatewright\\Settings", "PortControlKey");
    EXPECT_NE(first, LoadPortControlKey()) << "a new installation gets a key of its own";
}

// A router on 127.0.0.1: it answers the n-th request (from 0) with what
// respond gives, nothing being silence.
class CFakeRouter {
public:
    explicit CFakeRouter(std::function<Datagrams(const Datagram&, size_t)> respond) : m_respond(respond)
    {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
        m_socket = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(kLoopback);
        int size = sizeof(address);
        ::bind(m_socket, reinterpret_cast<sockaddr*>(&address), size);
        ::getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &size);
        m_wPort = ntohs(address.sin_port);
        DWORD timeoutMs = 20;
        ::setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&timeoutMs), sizeof(timeoutMs));
        m_thread = std::thread(&CFakeRouter::Serve, this);
    }
    ~CFakeRouter()
    {
        m_bStop = true;
        m_thread.join();
        ::closesocket(m_socket);
        ::WSACleanup();
    }
    WORD Port() const { return m_wPort; }
    Datagrams Requests()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_requests;
    }

private:
    void Serve()
    {
        while (!m_bStop) {
            Datagram request(1100);
            sockaddr_in from = {};
            int size = sizeof(from);
            int received = ::recvfrom(m_socket, reinterpret_cast<char*>(request.data()), int(request.size()), 0,
                                      reinterpret_cast<sockaddr*>(&from), &size);
            if (received < 0)
                continue;
            request.resize(received);
            m_lock.lock();
            m_requests.push_back(request);
            size_t index = m_requests.size() - 1;
            m_lock.unlock();
            for (const Datagram& answer : m_respond(request, index))
                ::sendto(m_socket, reinterpret_cast<const char*>(answer.data()), int(answer.size()), 0,
                         reinterpret_cast<sockaddr*>(&from), size);
        }
    }

    std::function<Datagrams(const Datagram&, size_t)> m_respond;
    SOCKET m_socket;
    WORD m_wPort;
    std::atomic<bool> m_bStop{ false };
    std::mutex m_lock;
    Datagrams m_requests;
    std::thread m_thread;
};

TEST(PortControlExchange, AnswerWithAnotherNonceIsDroppedForTheRightOne)
{
    CFakeRouter router([](const Datagram& request, size_t) {
        Datagram stale = PcpAnswer(request, 8, 1);
        stale[24] ^= 0xff;
        return Datagrams{ stale, PcpAnswer(request, 0, 77) };
    });
    PortControlResult result = CPortControl(kLoopback, kKey, router.Port()).Map(IPPROTO_TCP, kLoopback, 80, 8080, 7200);
    EXPECT_EQ(std::make_tuple(kPcp, 0, 8080, kPublic, 7200ul, 77ul), Told(result));
    // Sent once, from this host's own address, so without THIRD_PARTY.
    Datagrams requests = router.Requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ(64u, requests[0].size());
    EXPECT_EQ(Mapped(kLoopback), Slice(requests[0], 8, 16));
}

TEST(PortControlExchange, RenewalsAndDeleteKeepTheMappingsNonceAcrossRestarts)
{
    CFakeRouter router([](const Datagram& request, size_t index) {
        return Datagrams{ PcpAnswer(request, 0, index < 4 ? 100 : 3) };
    });
    CPortControl control(kLoopback, kKey, router.Port());
    EXPECT_FALSE(control.Map(IPPROTO_TCP, kLoopback, 80, 8080, 7200).routerRestarted);
    EXPECT_FALSE(control.Map(IPPROTO_TCP, kLoopback, 80, 8080, 7200).routerRestarted);
    control.Map(IPPROTO_TCP, kLoopback, 81, 8081, 7200);
    control.Delete(IPPROTO_TCP, kLoopback, 80, 8080);
    EXPECT_TRUE(control.Map(IPPROTO_TCP, kLoopback, 80, 8080, 7200).routerRestarted);
    // The program started again: same key, same mapping, same nonce.
    CPortControl(kLoopback, kKey, router.Port()).Delete(IPPROTO_TCP, kLoopback, 80, 8080);
    Datagrams requests = router.Requests();
    ASSERT_EQ(6u, requests.size());
    auto nonce = [&](size_t index) { return Slice(requests[index], 24, 12); };
    for (size_t index : { 1, 3, 4, 5 })
        EXPECT_EQ(nonce(0), nonce(index));
    EXPECT_NE(nonce(0), nonce(2));
    EXPECT_EQ((Datagram{ 0, 0, 0, 0 }), Slice(requests[3], 4, 4));  // the delete's lifetime
    // Another installation's key names none of this one's mappings.
    PortControlKey otherKey = kKey;
    otherKey[0] ^= 1;
    EXPECT_NE(MakeMappingNonce(kKey, IPPROTO_TCP, kLoopback, 80), MakeMappingNonce(otherKey, IPPROTO_TCP, kLoopback, 80));
    EXPECT_NE(MakeMappingNonce(kKey, IPPROTO_TCP, kLoopback, 80), MakeMappingNonce(kKey, IPPROTO_UDP, kLoopback, 80));
}

TEST(PortControlExchange, NatPmpAnswerToPcpTurnsToNatPmpForGood)
{
    // UNSUPP_VERSION from an older PCP server; NAT-PMP's "Unsupported Version"
    // with opcode 0 as RFC 6886 showed it, and 128 as its erratum does.
    const Datagram refusals[] = { { 1, 0x81, 0, 1, 0, 0, 0, 0, 0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0 },
                                  { 0, 0, 0, 1, 0, 0, 0, 9 }, { 0, 128, 0, 1, 0, 0, 0, 9 } };
    for (const Datagram& refusal : refusals) {
        CFakeRouter router([&](const Datagram& request, size_t) {
            return Datagrams{ request[0] == 2 ? refusal : NatPmpMapAnswer(request) };
        });
        CPortControl control(kLoopback, kKey, router.Port());
        PortControlResult result = control.Map(IPPROTO_UDP, kLoopback, 80, 8081, 3600);
        EXPECT_EQ(std::make_tuple(kNatPmp, 0, 8081, 0ul, 3600ul, 9ul), Told(result));
        control.Map(IPPROTO_UDP, kLoopback, 81, 8082, 3600);
        EXPECT_EQ(PortControlStatus::NotForOtherHosts, control.Map(IPPROTO_UDP, kOtherHost, 80, 80, 60).status);
        // PCP once, then NAT-PMP only; nothing for the other host.
        Datagrams requests = router.Requests();
        ASSERT_EQ(3u, requests.size());
        EXPECT_EQ((Datagram{ 2, 0, 0 }), (Datagram{ requests[0][0], requests[1][0], requests[2][0] }));
    }
}

TEST(PortControlExchange, LostRequestIsSentAgain)
{
    CFakeRouter router([](const Datagram&, size_t index) {
        return index ? Datagrams{ { 0, 128, 0, 0, 0, 0, 0, 5, 203, 0, 113, 5 } } : Datagrams();
    });
    PortControlResult result = CPortControl(kLoopback, kKey, router.Port()).QueryExternalAddress();
    EXPECT_EQ(std::make_tuple(kNatPmp, 0, 0, kPublic, 0ul, 5ul), Told(result));
    EXPECT_EQ(2u, router.Requests().size());
}

TEST(PortControlExchange, SilentRouterIsGivenUpOnWithinTheBound)
{
    CFakeRouter router([](const Datagram&, size_t) { return Datagrams(); });
    CPortControl control(kLoopback, kKey, router.Port(), 3000);
    for (bool bMap : { false, true }) {
        size_t sentBefore = router.Requests().size();
        ULONGLONG began = ::GetTickCount64();
        PortControlResult result = bMap ? control.Map(IPPROTO_TCP, kLoopback, 80, 8080, 7200)
                                        : control.QueryExternalAddress();
        ULONGLONG tookMs = ::GetTickCount64() - began;
        EXPECT_EQ(PortControlStatus::NoAnswer, result.status);
        EXPECT_GE(tookMs, 2900u);
        EXPECT_LT(tookMs, 4500u);
        // NAT-PMP sends again from 250 ms on; PCP first after 2.7 to 3.3 s.
        EXPECT_GE(router.Requests().size() - sentBefore, bMap ? 1u : 2u);
    }
    EXPECT_FALSE(control.SpeaksNatPmp());
}

TEST(PortControlExchange, PortNobodyListensOnIsGivenUpOnAtOnce)
{
    // Windows tells a UDP socket of the ICMP "port unreachable" (WSAECONNRESET); Wine drops it.
    if (::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "wine_get_version"))
        GTEST_SKIP() << "Wine does not report ICMP errors on UDP sockets";
    WORD port;
    {
        CFakeRouter gone([](const Datagram&, size_t) { return Datagrams(); });
        port = gone.Port();
    }
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
    ULONGLONG began = ::GetTickCount64();
    PortControlResult result = CPortControl(kLoopback, kKey, port).Map(IPPROTO_TCP, kLoopback, 80, 8080, 7200);
    EXPECT_EQ(PortControlStatus::NoAnswer, result.status);
    EXPECT_LT(::GetTickCount64() - began, 2000u);
    ::WSACleanup();
}

TEST(PortControlRows, AnswersDecideTheRowAndItsLine)
{
    const MappingEntry row = { "TCP", "80", "8080", "192.168.1.5", "" };
    auto answer = [](PortControlProtocol protocol, int code, WORD externalPort) {
        PortControlResult result;
        result.status = PortControlStatus::Answered;
        result.protocol = protocol;
        result.resultCode = code;
        result.externalPort = externalPort;
        return result;
    };
    PortControlResult silent, natPmpOnly;
    natPmpOnly.status = PortControlStatus::NotForOtherHosts;
    const struct {
        PortControlResult result;
        bool forOtherHost;
        PortControlAction action;
    } cases[] = {
        { answer(kPcp, 0, 8080), false, PortControlAction::Live },
        { answer(kNatPmp, 0, 8080), false, PortControlAction::Live },
        { answer(kNatPmp, 0, 50123), false, PortControlAction::OtherPort },
        { answer(kPcp, 11, 0), false, PortControlAction::Held },  // CANNOT_PROVIDE_EXTERNAL
        { answer(kPcp, 2, 0), true, PortControlAction::OnlyThisHost },
        { answer(kPcp, 5, 0), true, PortControlAction::OnlyThisHost },
        { natPmpOnly, true, PortControlAction::OnlyThisHost },
        { answer(kPcp, 2, 0), false, PortControlAction::Refused },
        { answer(kNatPmp, 2, 0), true, PortControlAction::Refused },
        { answer(kPcp, 8, 0), false, PortControlAction::Refused },
        { silent, false, PortControlAction::Unreached },
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.action, DecidePortControlRow(row, c.result, c.forOtherHost)) << c.result.resultCode;
    EXPECT_EQ("PCP MAP(8080, 80, 192.168.1.5) 失败,错误代码 8 (NO_RESOURCES)\n",
              FormatPortControlFailed(row, answer(kPcp, 8, 0)));
    EXPECT_EQ("NAT-PMP(8080, 80, 192.168.1.5) 失败,错误代码 3 (Network Failure)\n",
              FormatPortControlFailed(row, answer(kNatPmp, 3, 0)));
    EXPECT_EQ("路由器只允许为本机映射：内网IP 192.168.1.5 不是本机，此映射未生效。", FormatOnlyThisHost(row));
    // A delete is done when nothing of the row's is left, however the router says so.
    EXPECT_TRUE(PortControlDeleteDone(answer(kPcp, 0, 0), false));
    EXPECT_TRUE(PortControlDeleteDone(answer(kPcp, 8, 0), false));
    EXPECT_TRUE(PortControlDeleteDone(answer(kPcp, 5, 0), true));
    EXPECT_TRUE(PortControlDeleteDone(natPmpOnly, true));
    EXPECT_FALSE(PortControlDeleteDone(answer(kPcp, 2, 0), false));
    EXPECT_FALSE(PortControlDeleteDone(answer(kNatPmp, 3, 0), false));
    EXPECT_FALSE(PortControlDeleteDone(silent, false));
}

}

namespace {

// Rows A (TCP 80 -> this host:80) and B (TCP 8080 -> this host:80): the
// router knows one mapping per internal endpoint, so B is never sent, is told
// once per Start, and neither maps nor removes A's mapping.
TEST(PortControlRows, ARowSharingAnEarlierRowsInternalEndpointIsRefusedWithoutARequest)
{
    const std::vector<MappingEntry> rows = { { "TCP", "80", "80", "127.0.0.1", "" },
                                             { "TCP", "080", "8080", "127.0.0.1", "" },
                                             { "UDP", "80", "80", "127.0.0.1", "" } };
    EXPECT_EQ((std::map<size_t, size_t>{ { 1, 0 } }), SharedEndpoints(rows));

    CFakeRouter fake([](const Datagram& request, size_t) { return Datagrams{ PcpAnswer(request, 0, 5) }; });
    CPortControlRouter router(std::make_shared<CPortControl>(kLoopback, kKey, fake.Port()), "127.0.0.1", "");
    std::vector<std::string> lines;
    CNotices notices([&](const std::string& line) { lines.push_back(line); });
    std::string address;
    MapRun run = { rows, 60, address, [] { return false; } };
    for (int runs = 0; runs < 2; ++runs) {
        RunOutcome outcome = router.MapRows(run, notices);
        EXPECT_EQ((std::vector<RowState>{ RowState::Live, RowState::Failed, RowState::Live }), outcome.states);
    }
    EXPECT_EQ(4u, fake.Requests().size()) << "A and the UDP row, twice";
    EXPECT_EQ(1u, std::count(lines.begin(), lines.end(),
                             "第2行与第1行的内部端口相同：PCP/NAT-PMP路由器只能为一个内部端口做一个映射，此映射未生效。"));
    EXPECT_EQ(RemoveResult::Done, router.Remove(rows[1], notices));
    EXPECT_EQ(4u, fake.Requests().size()) << "B's removal leaves A's mapping";
}

}

namespace {

// A NAT-PMP router that gives another port than the row's: its undo, lost,
// is sent again, and a Stop does not call the row done until it has gone.
TEST(PortControlRows, AnUndoOfAnotherPortThatWasLostIsSentAgainAndHoldsTheStopUntilDone)
{
    std::atomic<bool> dropDeletes{ true };
    CFakeRouter fake([&](const Datagram& request, size_t) {
        if (request[0] == 2)
            return Datagrams{ { 0, 128, 0, 1, 0, 0, 0, 9 } };  // PCP unsupported: NAT-PMP
        bool remove = request.size() == 12 && !request[8] && !request[9] && !request[10] && !request[11];
        if (remove && dropDeletes)
            return Datagrams();
        Datagram answer = NatPmpMapAnswer(request);
        if (!remove) {
            answer[10] = 50123 >> 8;
            answer[11] = 50123 & 0xff;
        }
        return Datagrams{ answer };
    });
    CPortControlRouter router(std::make_shared<CPortControl>(kLoopback, kKey, fake.Port(), 1000), "127.0.0.1", "");
    CNotices notices([](const std::string&) {});
    const std::vector<MappingEntry> rows = { { "TCP", "80", "8080", "127.0.0.1", "" } };
    std::string address;
    MapRun run = { rows, 60, address, [] { return false; } };
    EXPECT_EQ(std::vector<RowState>{ RowState::Held }, router.MapRows(run, notices).states);
    auto undos = [&fake] {
        Datagrams requests = fake.Requests();
        return std::count_if(requests.begin(), requests.end(), [](const Datagram& d) {
            // A delete names the internal port alone (RFC 6886 section 3.4).
            return d.size() == 12 && !d[8] && !d[9] && !d[10] && !d[11];
        });
    };
    size_t lost = undos();
    EXPECT_GE(lost, 1u);
    EXPECT_EQ(RemoveResult::Unreached, router.Remove(rows[0], notices)) << "the other port may still be open";
    EXPECT_GT(undos(), lost) << "sent again";
    dropDeletes = false;
    EXPECT_EQ(RemoveResult::Done, router.Remove(rows[0], notices));
    size_t done = undos();
    EXPECT_EQ(RemoveResult::Done, router.Remove(rows[0], notices));
    EXPECT_EQ(done, undos()) << "once it is gone, not again";
}

// RFC 6887 erratum 3621: the answer to the search's delete echoes the
// all-zero address it was given. That is no address yet, not "no public
// address"; the first MAP answer names it.
TEST(PortControlSearch, AnAllZeroAddressInTheDeletesAnswerIsNotKnownYetUntilAMapNamesIt)
{
    CFakeRouter fake([](const Datagram& request, size_t index) {
        Datagram answer = PcpAnswer(request, 0, 5);
        if (index == 0)
            std::fill(answer.begin() + 44, answer.end(), 0);
        return Datagrams{ answer };
    });
    std::vector<std::string> lines;
    auto report = [&](const std::string& line) { lines.push_back(line); };
    FoundGateway found;
    std::shared_ptr<CRouter> router =
        ProbePortControl(std::make_shared<CPortControl>(kLoopback, kKey, fake.Port()), kLoopback, &found, report);
    ASSERT_TRUE(router);
    EXPECT_EQ("", found.externalAddress);
    EXPECT_EQ(kAddressNotKnownYet, found.addressStatus);
    EXPECT_EQ(std::vector<std::string>{ "发现支持PCP的路由器 : 127.0.0.1" }, lines);
    int status = 0;
    router->ReadExternalAddress(&status);
    EXPECT_EQ(kAddressNotKnownYet, status);

    CNotices notices(report);
    const std::vector<MappingEntry> rows = { { "TCP", "80", "80", "127.0.0.1", "" } };
    std::string none;
    MapRun run = { rows, 60, none, [] { return false; } };
    EXPECT_EQ("203.0.113.5", router->MapRows(run, notices).learnedAddress);
    EXPECT_EQ("", router->MapRows(run, notices).learnedAddress) << "learned once";
    EXPECT_EQ("203.0.113.5", router->ReadExternalAddress(&status));
    EXPECT_EQ(0, status);
    EXPECT_EQ(1u, std::count(lines.begin(), lines.end(), "获取的外网IP是: 203.0.113.5\n"));
}

}
