// A router's answer to a PCP MAP request, as the program reads it (RFC 6887).
#include "FuzzInput.h"
#include "PortControlAnswers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size)
{
    Datagram answer(data, data + size);
    PcpMapRequest request = FuzzedMapRequest();
    PortControlResult result;
    bool bTaken = DecodePcpMap(answer, request, &result);
    bool bNatPmp = IsNatPmpAnswer(answer);
    FUZZ_CHECK(!bTaken || (size >= 24 && size <= kPortControlLargestAnswer));
    FUZZ_CHECK(!bNatPmp || size <= kPortControlLargestAnswer);
    // Only the UNSUPP_VERSION answer may lack the echo of the request.
    if (bTaken && result.resultCode != kPcpUnsuppVersion) {
        FUZZ_CHECK(size >= 60 && answer[36] == request.protocol);
        FUZZ_CHECK((answer[40] << 8 | answer[41]) == request.internalPort);
    }
    FUZZ_CHECK(bTaken == (result.status == PortControlStatus::Answered));
    return 0;
}
