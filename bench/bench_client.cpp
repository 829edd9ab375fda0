// Application registration, against a raw program doing the same without the
// library:
//   queue to callback: records queued with QueueCallback until the
//     application's pfnConnect has seen them, against records handed to a
//     thread of the program's own (a locked list and an event, as the library
//     keeps them, nodes allocated beforehand); one at a time (the thread asleep
//     when each arrives) and in a burst (queued back to back while it delivers);
//   register + deregister: QorGattRegister and QorGattDeregister of the only
//     registration (which open and close the driver channel) until the callback
//     thread has gone, against a channel of the program's own opened,
//     registered and given its twenty reads, plus a thread of its own started
//     and stopped.
// Measured with the method of method.h.

#include <windows.h>

#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "api/app_reg.h"
#include "qortest.h"

#include "method.h"
#include "raw_channel.h"
#include "tally.h"

namespace {

constexpr int kRecords = 2000;          // one at a time
constexpr int kBurstRecords = 20000;    // back to back: enough for the raw side to take measurable time
constexpr int kRegistrations = 5;
constexpr DWORD kWaitMs = 30000;

// ---- the application's callback: counts ----
bench::Tally g_delivered;

void WINAPI Count(PVOID, PLE_ADDRESS, DWORD) { g_delivered.Add(); }

// Either side's producer: queues one record for pfnConnect.
using Queue = std::function<void()>;

// n records, each waited for before the next (idle), or all back to back (burst).
double Deliver(const Queue &queue, int n, bool burst)
{
    g_delivered.Expect(n);
    const double start = bench::Seconds();
    for (int i = 0; i < n; ++i) {
        queue();
        if (!burst && !g_delivered.WaitFor(i + 1, kWaitMs))
            return -1;
    }
    if (!g_delivered.Wait(kWaitMs))
        return -1;
    return bench::Seconds() - start;
}

// ---- the library side ----

HQORREG Register(PFN_LE_CONNECT_CALLBACK connect)
{
    LE_ADDRESS address{};
    GUID app = {0x7A3B0000u, 0x51C2, 0x4D8E, {0x9F, 0x10, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}};
    HQORREG h = nullptr;
    if (QorGattRegister(&address, &app, connect, nullptr, nullptr, nullptr, &h) != ERROR_SUCCESS)
        return nullptr;
    return h;
}

// Deregisters and waits until the callback thread has destroyed the registration.
bool Deregister(HQORREG h)
{
    HANDLE thread = nullptr;
    DuplicateHandle(GetCurrentProcess(), static_cast<QOR_APP_REG *>(h)->hThread, GetCurrentProcess(), &thread,
                    SYNCHRONIZE, FALSE, 0);
    QorGattDeregister(h);
    bool gone = WaitForSingleObject(thread, kWaitMs) == WAIT_OBJECT_0;
    CloseHandle(thread);
    return gone;
}

double LibraryDelivery(int n, bool burst)
{
    HQORREG h = Register(Count);
    if (!h)
        return -1;
    auto *app = static_cast<QOR_APP_REG *>(h);
    double seconds = Deliver(
        [app] {
            ApiLockHold hold;
            if (LeCallback *record = NewCallback(kCallbackConnect)) {
                record->connect.Connected = 1;
                QueueCallback(app, record);
            }
        },
        n, burst);
    return Deregister(h) ? seconds : -1;
}

double LibraryRegistration(int n)
{
    const double start = bench::Seconds();
    for (int i = 0; i < n; ++i) {
        HQORREG h = Register(nullptr);
        if (!h || !Deregister(h))
            return -1;
    }
    return bench::Seconds() - start;
}

// ---- the raw side: a thread of one's own with a locked list and an event ----

class RawQueue {
public:
    struct Node {
        Node *next;
        LE_ADDRESS address;
        DWORD connected;
    };

    explicit RawQueue(int capacity) : nodes_(capacity)
    {
        InitializeCriticalSection(&lock_);
        thread_ = std::thread([this] { Run(); });
    }
    ~RawQueue()
    {
        EnterCriticalSection(&lock_);
        stop_ = true;
        LeaveCriticalSection(&lock_);
        SetEvent(wake_);
        thread_.join();
        CloseHandle(wake_);
        DeleteCriticalSection(&lock_);
    }
    void Push()
    {
        EnterCriticalSection(&lock_);
        Node *node = &nodes_[used_++ % nodes_.size()];
        node->next = nullptr;
        node->connected = 1;
        bool was_empty = !head_;
        if (was_empty)
            head_ = node;
        else
            tail_->next = node;
        tail_ = node;
        LeaveCriticalSection(&lock_);
        if (was_empty)
            SetEvent(wake_);
    }

private:
    void Run()
    {
        EnterCriticalSection(&lock_);
        for (;;) {
            Node *node = head_;
            if (!node) {
                if (stop_)
                    break;
                LeaveCriticalSection(&lock_);
                WaitForSingleObject(wake_, INFINITE);
                EnterCriticalSection(&lock_);
                continue;
            }
            head_ = node->next;
            LeaveCriticalSection(&lock_);
            Count(nullptr, &node->address, node->connected);
            EnterCriticalSection(&lock_);
        }
        LeaveCriticalSection(&lock_);
    }

    std::vector<Node> nodes_;
    size_t used_ = 0;
    Node *head_ = nullptr;
    Node *tail_ = nullptr;
    bool stop_ = false;
    CRITICAL_SECTION lock_;
    HANDLE wake_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::thread thread_;
};

double RawDelivery(int n, bool burst)
{
    RawQueue queue(n);
    return Deliver([&queue] { queue.Push(); }, n, burst);
}

double RawRegistration(int n)
{
    const double start = bench::Seconds();
    for (int i = 0; i < n; ++i) {
        bench::RawChannel channel([](const ZrEvent &) {});
        RawQueue thread(1);
        if (!channel.Ready())
            return -1;
    }
    return bench::Seconds() - start;
}

} // namespace

bool bench::Rows(qortest::Controller &, Program *program)
{
    for (bool burst : {false, true}) {
        bench::Benchmark b = bench::Row(
            burst ? "queue to callback, a burst" : "queue to callback, one at a time", "records",
            burst ? kBurstRecords : kRecords, [burst](int n) { return LibraryDelivery(n, burst); },
            [burst](int n) { return RawDelivery(n, burst); });
        b.rate = true;
        // The raw side of a burst takes a few milliseconds: its 3x line would measure the clock.
        b.scaling = !burst;
        program->rows.push_back(b);
    }
    bench::Benchmark reg = bench::Row("register + deregister, the only registration", "registrations",
                                      kRegistrations, LibraryRegistration, RawRegistration);
    reg.rate = true;
    program->rows.push_back(reg);
    return true;
}
