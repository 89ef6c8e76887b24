// A router's answer to NAT-PMP's public address request (RFC 6886 section 3.2).
#include "FuzzInput.h"
#include "../../../gateway/pcp/PortControlMessages.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size)
{
    Datagram answer(data, data + size);
    PortControlResult result;
    if (DecodeNatPmpAddress(answer, &result)) {
        FUZZ_CHECK(size >= 12 && size <= kPortControlLargestAnswer);
        std::uint32_t address = std::uint32_t(answer[8]) << 24 | answer[9] << 16 | answer[10] << 8 | answer[11];
        FUZZ_CHECK(result.externalAddress == address);
    }
    return 0;
}
