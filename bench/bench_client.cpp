// Application registration: what QorGattRegister and QorGattDeregister cost
// (the first registration opens the driver channel, later ones only take an
// interface number; the last deregistration closes it), and how long a record
// takes from QueueCallback to the application's callback.
//
// Runs against the virtual controller (scripts/controller.sh start). Trace
// lines go to a sink that only counts them.

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <vector>

#include "client/app_reg.h"
#include "qortest.h"

#include "bench_stats.h"

namespace {

std::atomic<long> trace_lines{0};
void WINAPI CountLine(const char *) { ++trace_lines; }

double ticks_per_us = 0;
LONGLONG Now()
{
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}
double Us(LONGLONG ticks) { return ticks / ticks_per_us; }

GUID AppGuid(int i)
{
    GUID g = {0x7A3B0000u + static_cast<unsigned>(i), 0x51C2, 0x4D8E, {0x9F, 0x10, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}};
    return g;
}

HQORREG Register(int i, PFN_LE_CONNECT_CALLBACK connect = nullptr)
{
    LE_ADDRESS address{};
    GUID app = AppGuid(i);
    HQORREG h = nullptr;
    if (QorGattRegister(&address, &app, connect, nullptr, nullptr, nullptr, &h) != ERROR_SUCCESS)
        return nullptr;
    return h;
}

// The registration's callback thread, which ends once it has destroyed it.
HANDLE ThreadOf(HQORREG h)
{
    HANDLE thread = nullptr;
    DuplicateHandle(GetCurrentProcess(), static_cast<QOR_APP_REG *>(h)->hThread, GetCurrentProcess(), &thread,
                    SYNCHRONIZE, FALSE, 0);
    return thread;
}

void WaitGone(HANDLE thread)
{
    WaitForSingleObject(thread, 10000);
    CloseHandle(thread);
}

void RegistrationCosts()
{
    constexpr int kRounds = 40, kLater = 7;
    std::vector<double> first, later, dereg_later, dereg_last;
    for (int round = 0; round < kRounds; ++round) {
        LONGLONG t0 = Now();
        HQORREG head = Register(0);
        first.push_back(Us(Now() - t0));
        if (!head) {
            std::printf("registration failed: is the controller running?\n");
            return;
        }
        std::vector<HQORREG> more;
        for (int i = 1; i <= kLater; ++i) {
            t0 = Now();
            more.push_back(Register(i));
            later.push_back(Us(Now() - t0));
        }
        for (HQORREG h : more) {
            HANDLE thread = ThreadOf(h);
            t0 = Now();
            QorGattDeregister(h);
            dereg_later.push_back(Us(Now() - t0));
            WaitGone(thread);
        }
        HANDLE thread = ThreadOf(head);
        t0 = Now();
        QorGattDeregister(head);
        dereg_last.push_back(Us(Now() - t0));
        WaitGone(thread);
    }
    std::printf("QorGattRegister, first (opens the channel):   median %8.1f us  (%d runs)\n", Median(first), kRounds);
    std::printf("QorGattRegister, later (interface only):      median %8.1f us  (%zu runs)\n", Median(later),
                later.size());
    std::printf("QorGattDeregister, not the last:              median %8.1f us  (%zu runs)\n", Median(dereg_later),
                dereg_later.size());
    std::printf("QorGattDeregister, the last (closes channel): median %8.1f us  (%d runs)\n", Median(dereg_last),
                kRounds);
}

// ---- queue to callback ----

HANDLE delivered = nullptr;
std::vector<double> latencies;   // written by the callback thread only while the main thread waits
std::atomic<int> delivered_count{0};

void WINAPI Stamp(PVOID context, PLE_ADDRESS, DWORD)
{
    latencies.push_back(Us(Now() - static_cast<LONGLONG>(reinterpret_cast<uintptr_t>(context))));
    ++delivered_count;
    SetEvent(delivered);
}

void QueueOne(QOR_APP_REG *app)
{
    ApiLockHold hold;
    LeCallback *record = NewCallback(kCallbackConnect);
    if (!record)
        return;
    record->Context = static_cast<ULONGLONG>(Now());
    record->connect.Connected = 1;
    QueueCallback(app, record);
}

void DeliveryLatency()
{
    constexpr int kRecords = 2000;
    delivered = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HQORREG h = Register(0, Stamp);
    if (!h || !delivered)
        return;
    latencies.reserve(kRecords);
    // One at a time: the thread is asleep in its wait when each record arrives.
    for (int i = 0; i < kRecords; ++i) {
        QueueOne(static_cast<QOR_APP_REG *>(h));
        WaitForSingleObject(delivered, 5000);
    }
    std::printf("QueueCallback -> pfnConnect, idle thread:      median %8.1f us  (%d records)\n",
                Median(latencies), kRecords);

    // A burst: records queued back to back while the thread delivers.
    latencies.clear();
    delivered_count = 0;
    std::vector<double> queue_cost;
    queue_cost.reserve(kRecords);
    LONGLONG t0 = Now();
    for (int i = 0; i < kRecords; ++i) {
        LONGLONG q0 = Now();
        QueueOne(static_cast<QOR_APP_REG *>(h));
        queue_cost.push_back(Us(Now() - q0));
    }
    while (delivered_count < kRecords)
        if (WaitForSingleObject(delivered, 5000) != WAIT_OBJECT_0)
            break;
    double total = Us(Now() - t0);
    std::printf("QueueCallback -> pfnConnect, burst of %d:    median %8.1f us, %.1f us per record overall\n",
                kRecords, Median(latencies), total / kRecords);
    std::printf("producer side (lock, record, queue), burst:   median %8.2f us\n", Median(queue_cost));

    HANDLE thread = ThreadOf(h);
    QorGattDeregister(h);
    WaitGone(thread);
    CloseHandle(delivered);
}

} // namespace

int main()
{
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    ticks_per_us = f.QuadPart / 1e6;

    qortest::Controller ctl;
    if (!ctl.IsOpen())
        return 1;
    ctl.Reset();
    QorGattSetTraceFunction(CountLine);

    RegistrationCosts();
    DeliveryLatency();
    std::printf("(trace lines emitted: %ld)\n", trace_lines.load());
    QorGattSetTraceFunction(nullptr);
    return 0;
}
