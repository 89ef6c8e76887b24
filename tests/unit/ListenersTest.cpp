// Which of this machine's sockets serves a row: one bound to the row's own
// address serves it, one bound to another address does not.
#include "../../gateway/local/Listeners.h"
#include <winsock2.h>
#include <gtest/gtest.h>
#include <string>

namespace {

// A socket of this process bound to 127.0.0.1 at a port Windows chooses; a TCP one listens.
class LoopbackSocket {
public:
    explicit LoopbackSocket(bool udp) : m_socket(::socket(AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, 0))
    {
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int size = sizeof address;
        if (::bind(m_socket, reinterpret_cast<sockaddr*>(&address), size) == 0 && (udp || ::listen(m_socket, 1) == 0)
            && ::getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &size) == 0)
            m_port = ntohs(address.sin_port);
    }
    ~LoopbackSocket() { ::closesocket(m_socket); }
    std::string Port() const { return std::to_string(m_port); }

private:
    SOCKET m_socket;
    unsigned m_port = 0;
};

TEST(Listeners, ASocketServesTheRowAtItsOwnAddressAndNotOneAtAnother)
{
    WSADATA data;
    ASSERT_EQ(0, ::WSAStartup(MAKEWORD(2, 2), &data));
    {
        LoopbackSocket tcp(false), udp(true);
        ASSERT_NE("0", tcp.Port());
        ASSERT_NE("0", udp.Port());
        std::vector<LocalSocket> sockets;
        ASSERT_TRUE(ReadLocalSockets(&sockets));
        for (const auto& bound : { std::make_pair("TCP", tcp.Port()), std::make_pair("UDP", udp.Port()) }) {
            const LocalSocket* serving = FindServingSocket(sockets, { bound.first, bound.second, "80", "127.0.0.1", "" });
            ASSERT_NE(nullptr, serving) << bound.first << " " << bound.second;
            EXPECT_EQ(0x7F000001u, serving->address);
            EXPECT_EQ(nullptr, FindServingSocket(sockets, { bound.first, bound.second, "80", "127.0.0.2", "" }))
                << "bound to another address";
        }
    }
    ::WSACleanup();
}

}
