#include "Lease.h"

namespace {
// The longest lease a UPnP IGD takes, a week.
const unsigned long long kLongestLease = 604800;

// The hour, or two intervals and a minute where that is longer.
unsigned long long WantedLease(int intervalSeconds)
{
    unsigned long long wanted = 2ULL * static_cast<unsigned>(intervalSeconds) + 60;
    return wanted < kLeaseSeconds ? kLeaseSeconds : wanted;
}
}

unsigned LeaseForInterval(int intervalSeconds)
{
    unsigned long long wanted = WantedLease(intervalSeconds);
    // Refreshes further apart than any lease a router takes: only a permanent one lasts.
    return wanted <= kLongestLease ? static_cast<unsigned>(wanted) : 0;
}

unsigned LifetimeForInterval(int intervalSeconds)
{
    unsigned long long wanted = WantedLease(intervalSeconds);
    return wanted < 0xFFFFFFFFULL ? static_cast<unsigned>(wanted) : 0xFFFFFFFFU;
}

bool IsDueForRenewal(unsigned leaseLeft, int intervalSeconds)
{
    unsigned long long soon = 3ULL * static_cast<unsigned>(intervalSeconds) + 60;
    return leaseLeft > 0 && leaseLeft < soon;
}

unsigned CLeasePolicy::LeaseFor(int intervalSeconds) const
{
    return m_bPermanentOnly ? 0 : LeaseForInterval(intervalSeconds);
}

bool CLeasePolicy::TakeAddResult(int result)
{
    if (result != kOnlyPermanentLeases || m_bPermanentOnly)
        return false;
    m_bPermanentOnly = true;
    return true;
}
