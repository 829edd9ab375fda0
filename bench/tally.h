#pragma once
// What a benchmark's callbacks count, on any thread, and its waits: until the
// count reaches the number a run expects, or a mark on the way there.

#include <windows.h>

#include <atomic>

namespace bench {

class Tally {
public:
    Tally();
    ~Tally();
    Tally(const Tally &) = delete;
    Tally &operator=(const Tally &) = delete;

    // From zero, n wanted.
    void Expect(long n);
    // One more counted.
    void Add();
    long Count() const { return count_; }
    // Until the count reaches n; false after timeout_ms without a step to it.
    bool WaitFor(long n, DWORD timeout_ms);
    // Until the expected number was counted.
    bool Wait(DWORD timeout_ms) { return WaitFor(want_, timeout_ms); }

private:
    std::atomic<long> count_{0};
    std::atomic<long> want_{0};
    std::atomic<long> mark_{0};   // the count a waiter waits for
    HANDLE reached_;
};

} // namespace bench
