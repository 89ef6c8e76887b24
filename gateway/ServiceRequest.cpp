#include "ServiceRequest.h"
#include "BoundedCall.h"
#include "RunTiming.h"
#include <upnpcommands.h>
#include <memory>

const int kGatewayUnreachable = UPNPCOMMAND_HTTP_ERROR;

bool MeansGatewayLost(int result)
{
    // The library's "no connection or no reply"; every other result is an
    // answer of a gateway that is there (or a fault of our own).
    return result == UPNPCOMMAND_HTTP_ERROR;
}

namespace {
// A gateway on the LAN answers within milliseconds; past this it is taken as gone.
const DWORD kRequestTimeoutMs = 3000;
}

int RunServiceRequest(std::function<int(const ServiceTarget&)> request, const ServiceTarget& target)
{
    CSpanTimer requestTimer(TimedSpan::Request);
    auto result = std::make_shared<int>(kGatewayUnreachable);
    if (!RunBounded([=] {
            CSpanTimer callTimer(TimedSpan::LibraryCall);
            *result = request(target);
        }, kRequestTimeoutMs))
        return kGatewayUnreachable;
    return *result;
}
