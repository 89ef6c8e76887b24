// A router's answer to a NAT-PMP map request, as the program reads it (RFC 6886 section 3.3).
#include "FuzzInput.h"
#include "PortControlAnswers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size)
{
    Datagram answer(data, data + size);
    PcpMapRequest request = FuzzedMapRequest();
    for (std::uint8_t protocol : { kPortControlTcp, kPortControlUdp }) {
        PortControlResult result;
        if (DecodeNatPmpMap(answer, protocol, request.internalPort, &result)) {
            FUZZ_CHECK(size >= 16 && size <= kPortControlLargestAnswer);
            FUZZ_CHECK(result.protocol == PortControlProtocol::NatPmp && result.resultCode <= 0xffff);
        }
    }
    return 0;
}
