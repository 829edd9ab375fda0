// Counts and waits of the benchmarks' callbacks (see tally.h).

#include "tally.h"

namespace bench {

Tally::Tally() : reached_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

Tally::~Tally() { CloseHandle(reached_); }

void Tally::Expect(long n)
{
    count_ = 0;
    want_ = n;
    mark_ = 0;
    ResetEvent(reached_);
}

void Tally::Add()
{
    if (++count_ == mark_)
        SetEvent(reached_);
}

// The event may be left set by an earlier mark: a wake only makes the count be
// read again.
bool Tally::WaitFor(long n, DWORD timeout_ms)
{
    mark_ = n;
    while (count_ < n)
        if (WaitForSingleObject(reached_, timeout_ms) != WAIT_OBJECT_0)
            return false;
    return true;
}

} // namespace bench
