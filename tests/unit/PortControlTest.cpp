#include "../../gateway/PortControl.h"
#include <gtest/gtest.h>
#include <tuple>

namespace {

const DWORD kThisHost = 0xc0a80102;   // 192.168.1.2
const DWORD kOtherHost = 0xc0a80105;  // 192.168.1.5
const DWORD kPublic = 0xcb007105;     // 203.0.113.5
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
    DWORD first = RetransmitWaitMs(kPcp, 0), second = RetransmitWaitMs(kPcp, 3000);
    EXPECT_TRUE(first >= 2700 && first <= 3300) << first;
    EXPECT_TRUE(second >= 5400 && second <= 6600) << second;
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
}

}
