#pragma once
#include <functional>
#include <string>

// What a request needs of one service of a gateway, owned by the request
// itself: a request given up on goes on alone and must not touch its caller's data.
struct ServiceTarget {
    std::string controlUrl;
    std::string serviceType;
};

// The result of a request that did not reach the gateway, or that it did not
// answer in time, whichever way the router is reached.
extern const int kGatewayUnreachable;
// True for results that mean the gateway could not be reached or did not
// answer: the library's transport failures, not an answer the gateway gave.
bool MeansGatewayLost(int result);

// One request on a thread of its own: the library's result, or
// kGatewayUnreachable when the gateway does not answer in time.
int RunServiceRequest(std::function<int(const ServiceTarget&)> request, const ServiceTarget& target);
