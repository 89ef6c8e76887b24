// The table an IGD version 2 router lists is trusted only when it answers
// exactly what was asked; otherwise the run asks row by row. Against a fake
// connection service on 127.0.0.1.
#include "../../gateway/Notices.h"
#include "../../gateway/upnp/UpnpRouter.h"
#include <gtest/gtest.h>
#include <winsock2.h>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

const char* kThisHost = "198.18.0.2";

std::string Between(const std::string& text, const std::string& open, const std::string& close)
{
    size_t start = text.find(open);
    if (start == std::string::npos)
        return std::string();
    start += open.size();
    return text.substr(start, text.find(close, start) - start);
}

std::string Element(const std::string& body, const std::string& name)
{
    return Between(body, "<" + name + ">", "</" + name + ">");
}

struct FakeMapping {
    std::string protocol;
    unsigned port;
    std::string client;
};

std::string ListingEntry(const FakeMapping& m)
{
    return "<p:PortMappingEntry><p:NewRemoteHost></p:NewRemoteHost><p:NewExternalPort>" + std::to_string(m.port)
        + "</p:NewExternalPort><p:NewProtocol>" + m.protocol + "</p:NewProtocol><p:NewInternalPort>"
        + std::to_string(m.port) + "</p:NewInternalPort><p:NewInternalClient>" + m.client
        + "</p:NewInternalClient><p:NewEnabled>1</p:NewEnabled><p:NewDescription>x</p:NewDescription>"
          "<p:NewLeaseTime>3600</p:NewLeaseTime></p:PortMappingEntry>";
}

// A WANIPConnection:2 service: lists what it is told to, answers lookups
// from its table, takes every add, and writes each action down.
class CFakeIgd {
public:
    CFakeIgd()
    {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
        m_listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int size = sizeof(address);
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), size);
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &size);
        ::listen(m_listener, 8);
        controlUrl = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/ctl/IPConn";
        m_thread = std::thread([this] { Serve(); });
    }
    ~CFakeIgd()
    {
        m_bStop = true;
        m_thread.join();
        ::closesocket(m_listener);
    }

    std::vector<std::string> TakeActions()
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        return std::move(m_actions);
    }

    std::string controlUrl;
    // What the router holds, and what its table read lists.
    std::vector<FakeMapping> table;
    std::vector<FakeMapping> listing;
    // Instead of the listing, every page full of mappings at the port it starts from, as if it never ended.
    bool endless = false;

private:
    void Serve()
    {
        while (!m_bStop) {
            fd_set ready;
            FD_ZERO(&ready);
            FD_SET(m_listener, &ready);
            timeval wait = { 0, 20000 };
            if (::select(0, &ready, nullptr, nullptr, &wait) == 1) {
                SOCKET client = ::accept(m_listener, nullptr, nullptr);
                Answer(client);
                ::closesocket(client);
            }
        }
    }

    void Answer(SOCKET client)
    {
        std::string request;
        char buffer[4096];
        int got;
        while ((got = ::recv(client, buffer, sizeof buffer, 0)) > 0) {
            request.append(buffer, got);
            size_t end = request.find("\r\n\r\n");
            if (end != std::string::npos
                && request.size() >= end + 4 + std::atoi(Between(request, "Content-Length: ", "\r\n").c_str()))
                break;
        }
        std::string action = Between(request, "#", "\"");
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_actions.push_back(action);
        }
        std::string status = "200 OK", body;
        if (action == "GetListOfPortMappings") {
            std::string entries;
            FakeMapping atStart = { Element(request, "NewProtocol"),
                                    static_cast<unsigned>(std::atoi(Element(request, "NewStartPort").c_str())), kThisHost };
            for (size_t n = 0; n < (endless ? 1000 : listing.size()); ++n)
                entries += ListingEntry(endless ? atStart : listing[n]);
            body = "<NewPortListing><![CDATA[<p:PortMappingList xmlns:p=\"urn:schemas-upnp-org:gw:WANIPConnection\">"
                + entries + "</p:PortMappingList>]]></NewPortListing>";
        } else if (action == "GetSpecificPortMappingEntry") {
            body = LookUp(Element(request, "NewProtocol"), std::atoi(Element(request, "NewExternalPort").c_str()));
            if (body.empty()) {
                status = "500 Internal Server Error";
                body = "<s:Fault><detail><UPnPError><errorCode>714</errorCode>"
                       "<errorDescription>NoSuchEntryInArray</errorDescription></UPnPError></detail></s:Fault>";
            }
        }
        std::string envelope = "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\">"
                               "<s:Body><u:" + action + "Response xmlns:u=\"urn:schemas-upnp-org:service:WANIPConnection:2\">"
            + body + "</u:" + action + "Response></s:Body></s:Envelope>";
        std::string reply = "HTTP/1.1 " + status + "\r\nContent-Type: text/xml\r\nConnection: close\r\nContent-Length: "
            + std::to_string(envelope.size()) + "\r\n\r\n" + envelope;
        ::send(client, reply.data(), static_cast<int>(reply.size()), 0);
    }

    std::string LookUp(const std::string& protocol, unsigned port) const
    {
        for (const FakeMapping& m : table)
            if (m.protocol == protocol && m.port == port)
                return "<NewInternalPort>" + std::to_string(m.port) + "</NewInternalPort><NewInternalClient>"
                    + m.client + "</NewInternalClient><NewEnabled>1</NewEnabled><NewPortMappingDescription>x"
                                 "</NewPortMappingDescription><NewLeaseDuration>3600</NewLeaseDuration>";
        return std::string();
    }

    SOCKET m_listener;
    std::thread m_thread;
    std::atomic<bool> m_bStop{ false };
    std::mutex m_mutex;
    std::vector<std::string> m_actions;
};

// The fake as the router found, of IGD version 2.
std::shared_ptr<GatewayInfo> FakeGateway(const CFakeIgd& igd)
{
    auto gateway = std::make_shared<GatewayInfo>();
    gateway->urls.controlURL = _strdup(igd.controlUrl.c_str());
    std::strcpy(gateway->data.first.servicetype, "urn:schemas-upnp-org:service:WANIPConnection:2");
    return gateway;
}

// Two rows: ours on 20001, listed; 21001 held by another host, which the
// router holds but does not list.
class TableTrust : public ::testing::Test {
protected:
    TableTrust()
    {
        igd.table = { { "TCP", 20001, kThisHost }, { "TCP", 21001, "198.18.0.9" } };
        igd.listing = { igd.table[0] };
    }

    // One run; the held row's state, and the actions the router saw.
    RowState Run()
    {
        CUpnpRouter router(FakeGateway(igd));
        std::vector<MappingEntry> rows = { { "TCP", "20001", "20001", kThisHost, "" },
                                           { "TCP", "21001", "21001", kThisHost, "" } };
        std::string address = "203.0.113.1";
        MapRun run = { rows, 60, address, [] { return false; } };
        CNotices notices([this](const std::string& line) { lines.push_back(line); });
        RunOutcome outcome = router.MapRows(run, notices);
        EXPECT_FALSE(outcome.lost);
        EXPECT_EQ(RowState::Live, outcome.states.at(0));
        return outcome.states.at(1);
    }

    CFakeIgd igd;
    std::vector<std::string> lines;
};

const std::vector<std::string> kReadThenAsked = { "GetListOfPortMappings", "GetSpecificPortMappingEntry",
                                                  "GetSpecificPortMappingEntry" };

TEST_F(TableTrust, AnAnswerThatIsExactlyWhatWasAskedIsTrusted)
{
    // Believing the table, the run adds the unlisted row without asking for it.
    EXPECT_EQ(RowState::Live, Run());
    EXPECT_EQ((std::vector<std::string>{ "GetListOfPortMappings", "AddPortMapping" }), igd.TakeActions());
}

TEST_F(TableTrust, AFullPageMayHaveMoreAfterItSoTheRowsAreAskedForOneByOne)
{
    igd.listing.clear();
    for (unsigned port = 20001; port <= 21000; ++port)
        igd.listing.push_back({ "TCP", port, kThisHost });
    EXPECT_EQ(RowState::Held, Run());
    EXPECT_EQ(kReadThenAsked, igd.TakeActions());
}

TEST_F(TableTrust, AnEntryOutsideTheSpanOrOfTheOtherProtocolSpoilsTheWholeTable)
{
    for (const FakeMapping& stray : { FakeMapping{ "TCP", 21002, kThisHost }, FakeMapping{ "UDP", 20500, kThisHost } }) {
        igd.listing = { igd.table[0], stray };
        EXPECT_EQ(RowState::Held, Run()) << stray.protocol << " " << stray.port;
        EXPECT_EQ(kReadThenAsked, igd.TakeActions()) << stray.protocol << " " << stray.port;
    }
}

TEST(RouterTableRead, PagesThatNeverEndAreCutAtTheLimitOfEachProtocol)
{
    CFakeIgd igd;
    igd.endless = true;
    TableRead read = CUpnpRouter(FakeGateway(igd)).ReadWholeTable([] { return false; });
    EXPECT_EQ(TableRead::CutAtPageLimit, read.outcome);
    EXPECT_EQ(2 * kTablePagedReadLimit, read.mappings.size());
    EXPECT_EQ(2 * kTablePagedReadLimit / 1000, igd.TakeActions().size()) << "a page per thousand";
}

TEST(RouterTableRead, AStopOrTheCloseEndsTheReadBeforeItsNextPage)
{
    CFakeIgd igd;
    igd.endless = true;
    int asked = 0;
    TableRead read = CUpnpRouter(FakeGateway(igd)).ReadWholeTable([&asked] { return ++asked > 1; });
    EXPECT_EQ(TableRead::Interrupted, read.outcome);
    EXPECT_EQ(1000u, read.mappings.size()) << "what was read stays";
    EXPECT_EQ(std::vector<std::string>{ "GetListOfPortMappings" }, igd.TakeActions());
}

}
