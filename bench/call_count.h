#pragma once
// Counts of the system calls that cost a trip to the Wine server, made by this
// program (the library linked into it and the raw side alike): waits, event
// signals and resets, control requests. Noise cannot move a count, so a
// benchmark prints them per unit next to its times.
//
// Install() redirects the program's own import entries of those functions to
// counting wrappers (once; calls made inside system DLLs are not seen).

#include <cstdint>
#include <functional>
#include <string>

namespace bench {

struct CallCounts {
    uint64_t waits = 0;           // WaitForSingleObject(Ex), WaitForMultipleObjects(Ex)
    uint64_t set_event = 0;
    uint64_t reset_event = 0;
    uint64_t control = 0;         // DeviceIoControl
    uint64_t results = 0;         // GetOverlappedResult
    uint64_t created = 0;         // CreateEventW
    uint64_t closed = 0;          // CloseHandle

    CallCounts operator-(const CallCounts &o) const;
};

bool InstallCallCounting();
CallCounts CurrentCounts();

// The timed part of a run: its seconds, and the calls made in it kept as the
// latest window's.
class Timing {
public:
    Timing();
    double Stop();

private:
    CallCounts start_counts_;
    double start_;
};
CallCounts LastWindow();

// One more run of each side, its timed window's calls printed per unit of work:
//   "  calls per event: library waits 1.20 SetEvent 0.10 ...; raw waits 1.00 ..."
// Only runs timed with Timing count.
// `units`: what the counts are divided by (0: work).
void PrintCounts(const std::function<double(int)> &library, const std::function<double(int)> &raw, int work,
                 const char *unit, double units = 0);

} // namespace bench
