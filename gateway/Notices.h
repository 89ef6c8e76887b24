#pragma once
// What the log tells once. A row's trouble (a held port, a refusal, bad
// ports, a pinhole line) is told once per Start, again when it changes
// (another holder, another code) and again after the row was fine in
// between. A few facts of the router are told once while the program runs.
// Whether the internet reaches the external address is told when it changes.
// Used on the worker's thread only.
#include "PublicAddress.h"
#include <functional>
#include <map>
#include <set>
#include <string>

class CNotices {
public:
    typedef std::function<void(const std::string&)> Sink;
    explicit CNotices(Sink report) : m_report(std::move(report)) {}

    // Before each run: the run of a new Start hears every line again.
    void BeginStart(long generation);
    // Tells line unless key was told this Start with the same value.
    void Tell(const std::string& key, const std::string& value, const std::string& line);
    // What key told of is over: its next trouble is news.
    void Clear(const std::string& key);
    bool Told(const std::string& key) const { return m_told.count(key) != 0; }
    // Tells line the first time the program meets key.
    void TellOnce(const std::string& key, const std::string& line);
    // Each read of the external address; status 0 when the router answered it.
    void NoteExternalAddress(const std::string& address, int status);
    // The last answered read found no public address.
    bool NoPublicAddress() const { return m_reach.Unreachable(); }
    // A line that is always told.
    void Report(const std::string& line) const { m_report(line); }

private:
    Sink m_report;
    long m_nGeneration = 0;
    std::map<std::string, std::string> m_told;
    std::set<std::string> m_toldOnce;
    CAddressReachTracker m_reach;
};
