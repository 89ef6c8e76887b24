#pragma once

// How long the router keeps a mapping this program adds. A finite lease ends
// the forwarding an hour after this machine crashed, lost power or left the
// network; each run renews what runs low.
const unsigned kLeaseSeconds = 3600;
// The UPnP error of a router that keeps only permanent mappings.
const int kOnlyPermanentLeases = 725;

// The lease for a refresh interval: the hour, or longer where the refreshes
// are so far apart that an hour would run out between two of them, and
// permanent (0) beyond the week a router takes at most.
unsigned LeaseForInterval(int intervalSeconds);
// The same for PCP and NAT-PMP, where a lifetime of 0 deletes the mapping:
// never 0, and at most what their 32-bit field carries.
unsigned LifetimeForInterval(int intervalSeconds);
// True when a mapping with that much lease left must be renewed by this run:
// the next refreshes might come too late. 0 means permanent: never renewed.
bool IsDueForRenewal(unsigned leaseLeft, int intervalSeconds);

// What the program knows of one router's leases: a router that refused a
// finite lease once gets permanent ones until it is lost.
class CLeasePolicy {
public:
    unsigned LeaseFor(int intervalSeconds) const;
    // After an add with LeaseFor's lease: true when the router refused the
    // finite lease and the add must be made again with lease 0.
    bool TakeAddResult(int result);
    bool PermanentOnly() const { return m_bPermanentOnly; }
    // A router found anew may be another.
    void Forget() { m_bPermanentOnly = false; }

private:
    bool m_bPermanentOnly = false;
};
