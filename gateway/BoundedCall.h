#pragma once
#include <windows.h>
#include <atomic>
#include <functional>
#include <vector>

// Runs call on another thread and waits at most timeoutMs for it to end.
// The library's requests block in connect and receive for as long as the
// system lets them (about 21 s on Windows, two minutes under Wine), so a
// caller that must give up in time leaves a late call to finish on its own:
// the call must own, by value or shared pointer, all it touches. False on
// timeout, or when no thread could be started (the call then never runs).
// Calls come from one thread at a time (the gateway worker). A call given a
// stop flag also gives up once the flag is set and WakeBoundedCalls is called.
bool RunBounded(std::function<void()> call, DWORD timeoutMs, const std::atomic<bool>* stop = nullptr);

// Runs every call at once, each on a thread of its own, and waits until all
// have ended, or until one returned true when firstWins, at most timeoutMs and
// only while stop is not set. Which calls had returned true by then; a call
// still running goes on alone, owning all it touches as RunBounded's must.
std::vector<bool> RunTogether(std::vector<std::function<bool()>> calls, DWORD timeoutMs,
                              const std::atomic<bool>* stop, bool firstWins);

// Lets a waiting bounded call look at its stop flag again.
void WakeBoundedCalls();

// Makes every bounded call, waiting or to come, give up at once: the program
// is ending and must not wait on the network any more.
void AbandonBoundedCalls();
