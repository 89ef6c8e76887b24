#include "Lease.h"

namespace {
// The longest lease a UPnP IGD takes, a week.
const unsigned long long kLongestLease = 604800;
}

unsigned LeaseForInterval(int intervalSeconds)
{
    unsigned long long wanted = 2ULL * static_cast<unsigned>(intervalSeconds) + 60;
    if (wanted < kLeaseSeconds)
        return kLeaseSeconds;
    // Refreshes further apart than any lease a router takes: only a permanent one lasts.
    return wanted <= kLongestLease ? static_cast<unsigned>(wanted) : 0;
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
