#pragma once
// Port mappings over PCP (RFC 6887), and over NAT-PMP (RFC 6886) for routers
// that speak only that. IPv4 only: addresses are DWORDs in host order, as
// ParseDottedAddress gives them; protocols are IPPROTO_TCP or IPPROTO_UDP.
// The datagrams themselves are made and read in PortControlMessages.
#include "PortControlMessages.h"
#include <winsock2.h>
#include <windows.h>
#include <array>
#include <map>

class CRouterSocket;

const WORD kPortControlPort = 5351;
// A router on the LAN answers within milliseconds.
const DWORD kPortControlBoundMs = 3000;

// This installation's own secret, from which every mapping's nonce is made.
typedef std::array<BYTE, 16> PortControlKey;

// How long to wait for an answer before sending again: the first wait when
// previousMs is 0, else the one after previousMs.
DWORD RetransmitWaitMs(PortControlProtocol protocol, DWORD previousMs);

// The router's epoch and this machine's clock, in seconds, at one answer.
struct EpochSample {
    DWORD epoch;
    ULONGLONG localSeconds;
};
// True when the router's epoch at current shows it restarted, or otherwise
// lost its mappings, since previous.
bool EpochShowsRestart(PortControlProtocol protocol, const EpochSample& previous, const EpochSample& current);

// The protocol's name for a result code, for the log.
const char* PortControlResultName(PortControlProtocol protocol, int resultCode);

// A mapping's nonce: the same for its protocol, internal address and port
// whenever this installation asks, so that a renewal or delete after a restart
// of the program still names the mapping; unguessable without the key.
MappingNonce MakeMappingNonce(const PortControlKey& key, BYTE protocol, DWORD internalAddress, WORD internalPort);
// The key kept in the user's profile, made on first use.
PortControlKey LoadPortControlKey();

// One router's mappings. PCP first; a router that answers it with
// UNSUPP_VERSION or in NAT-PMP's format is spoken to in NAT-PMP from then on.
// Each call sends, resends and waits at most the bound, and gives up at once
// when nothing listens on the router's port; calls come from one thread.
class CPortControl {
public:
    CPortControl(DWORD gateway, const PortControlKey& key, WORD port = kPortControlPort,
                 DWORD boundMs = kPortControlBoundMs);

    // An internal address other than this machine's own is mapped for that
    // host (PCP's THIRD_PARTY option; NAT-PMP gives NotForOtherHosts).
    PortControlResult Map(BYTE protocol, DWORD internalAddress, WORD internalPort, WORD externalPort,
                          DWORD lifetime);
    // Map with lifetime 0.
    PortControlResult Delete(BYTE protocol, DWORD internalAddress, WORD internalPort, WORD externalPort);
    // NAT-PMP's public address request: PCP has none, its MAP answers name the address.
    PortControlResult QueryExternalAddress();
    bool SpeaksNatPmp() const { return m_bNatPmp; }
    DWORD Gateway() const { return m_dwGateway; }

private:
    PortControlResult MapOverPcp(CRouterSocket& socket, const PcpMapRequest& request, ULONGLONG deadline);
    PortControlResult MapOverNatPmp(CRouterSocket& socket, const PcpMapRequest& request, ULONGLONG deadline);
    void NoteEpoch(PortControlResult* result);

    DWORD m_dwGateway;
    PortControlKey m_key;
    WORD m_wPort;
    DWORD m_dwBoundMs;
    bool m_bNatPmp = false;
    std::map<PortControlProtocol, EpochSample> m_epochs;
};
