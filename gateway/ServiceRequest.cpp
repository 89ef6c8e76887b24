#include "ServiceRequest.h"
#include "BoundedCall.h"
#include "GatewayRequests.h"
#include "RunTiming.h"
#include <memory>

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
