#pragma once
// The datagrams of PCP (RFC 6887) and NAT-PMP (RFC 6886), made and read apart
// from any socket. They hold nothing of Windows, so that what a router sends
// can also be fed to them natively. IPv4 addresses are 32-bit numbers in host
// order, as ParseDottedAddress gives them.
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// Result code 0 is success in PCP and NAT-PMP alike.
const int kPortControlSuccess = 0;
// The router speaks an older version: NAT-PMP (RFC 6887 section 9).
const int kPcpUnsuppVersion = 1;
// No PCP message is longer (RFC 6887 section 7), nor is any answer of either
// protocol that the decoders take: a longer one is not an answer.
const size_t kPortControlLargestAnswer = 1100;
// IP protocol numbers, as both protocols carry them.
const std::uint8_t kPortControlTcp = 6, kPortControlUdp = 17;

enum class PortControlProtocol { Pcp, NatPmp };

enum class PortControlStatus {
    Answered,          // the router answered: see resultCode
    NoAnswer,          // nothing usable in time (or no socket): lost, or speaks neither
    NotForOtherHosts   // NAT-PMP maps only for the host that asks
};

struct PortControlResult {
    PortControlStatus status = PortControlStatus::NoAnswer;
    PortControlProtocol protocol = PortControlProtocol::Pcp;
    int resultCode = -1;              // the router's, numbered as its protocol numbers them
    std::uint16_t externalPort = 0;
    std::uint32_t externalAddress = 0; // from PCP MAP and NAT-PMP address answers, else 0
    std::uint32_t lifetime = 0;
    std::uint32_t epoch = 0;
    bool routerRestarted = false;     // the epoch shows the router lost its mappings
};

typedef std::vector<std::uint8_t> Datagram;
typedef std::array<std::uint8_t, 12> MappingNonce;

struct PcpMapRequest {
    MappingNonce nonce;
    std::uint32_t clientAddress;   // the request's source address
    std::uint32_t internalAddress; // another host's is named in a THIRD_PARTY option
    std::uint8_t protocol;         // kPortControlTcp or kPortControlUdp
    std::uint16_t internalPort;
    std::uint16_t externalPort;    // suggested; PREFER_FAILURE asks for it or nothing
    std::uint32_t lifetime;        // 0 deletes
};

// Network byte order, as every field of both protocols.
void AppendWord(Datagram* datagram, std::uint16_t value);
void AppendLong(Datagram* datagram, std::uint32_t value);

Datagram EncodePcpMap(const PcpMapRequest& request);
// True when answer is the router's answer to request, which goes to *result.
// An UNSUPP_VERSION answer needs no MAP body; any other must echo the nonce,
// protocol and internal port.
bool DecodePcpMap(const Datagram& answer, const PcpMapRequest& request, PortControlResult* result);
// A version-0 answer: the router speaks NAT-PMP only.
bool IsNatPmpAnswer(const Datagram& answer);

Datagram EncodeNatPmpMap(std::uint8_t protocol, std::uint16_t internalPort, std::uint16_t externalPort,
                         std::uint32_t lifetime);
bool DecodeNatPmpMap(const Datagram& answer, std::uint8_t protocol, std::uint16_t internalPort,
                     PortControlResult* result);
Datagram EncodeNatPmpAddressRequest();
bool DecodeNatPmpAddress(const Datagram& answer, PortControlResult* result);
