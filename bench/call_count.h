#pragma once
// Counts of the system calls that cost a trip to the Wine server, made by this
// program (the library linked into it and the raw side alike): waits, event
// signals and resets, control requests. Noise cannot move a count, so a
// benchmark prints them per unit next to its times.
//
// Install() redirects the program's own import entries of those functions to
// counting wrappers (once; calls made inside system DLLs are not seen).

#include <cstdint>
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

// "waits 1.20 SetEvent 0.10 ResetEvent 0.00 ...": the counts per unit of work.
std::string PerUnit(const CallCounts &c, double units);

} // namespace bench
