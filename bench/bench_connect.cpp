// Devices connecting, each with a stored tree of 30 services (a characteristic
// with two descriptors each), against a raw program that takes the same
// connection events on a channel of its own and loads the same trees from the
// registry with the registry API alone:
//   the library: connection events for N devices, each listed with its tree
//     loaded from the store, until the application's pfnConnect has heard all;
//   the raw side: the same events, each tree read key by key as the store lays
//     it out into nodes of its own, on its reader thread.
// Figures at 10, 30 and 90 devices, measured in the same rounds, with the 3x
// lines 30 / 10 and 90 / 30: the time per device must not grow with the number
// of devices (3x devices, at most 3.1x the time). Then the heap bytes per
// device each side kept in its last run at each size, and the calls per device
// at 10. Measured with the method of method.h.

#include <windows.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../tests/pairing/devices.h"
#include "../tests/pairing/store_view.h"
#include "call_count.h"
#include "method.h"
#include "qortest.h"
#include "raw_channel.h"
#include "tally.h"

namespace {

using namespace qortest;

constexpr int kServices = 30;
constexpr int kMaxDevices = 90;
constexpr ULONGLONG kFirstAddress = 0x5C0000000100ULL;
constexpr DWORD kWaitMs = 60000;
const uint8_t kPaired[6] = {0x5C, 0x00, 0x00, 0x00, 0x00, 0xFF};
constexpr ULONGLONG kPairedAddress = 0x5C00000000FFULL;

bench::Tally g_events;   // connection events taken

void Count() { g_events.Add(); }
void Expect(long n) { g_events.Expect(n); }
bool AllCame() { return g_events.Wait(kWaitMs); }

ULONGLONG Address(int i) { return kFirstAddress + static_cast<ULONGLONG>(i); }

void Bda(ULONGLONG address, uint8_t (&bda)[6])
{
    for (int i = 5; i >= 0; --i, address >>= 8)
        bda[i] = static_cast<uint8_t>(address);
}

// Connection events of devices 0..n-1 (conn_id = index), up or down.
void PostLinks(Controller &ctl, uint32_t channel, int n, bool up)
{
    for (int i = 0; i < n; ++i) {
        uint8_t bda[6];
        Bda(Address(i), bda);
        ctl.PostEvent(ConnectionEvent(bda, static_cast<uint16_t>(i), up ? 1 : 0), channel);
    }
}

// Bytes the heaps of the process hold in busy blocks.
size_t HeapInUse()
{
    HANDLE heaps[64];
    DWORD n = GetProcessHeaps(64, heaps);
    size_t used = 0;
    for (DWORD h = 0; h < n && h < 64; ++h) {
        PROCESS_HEAP_ENTRY entry{};
        HeapLock(heaps[h]);
        while (HeapWalk(heaps[h], &entry))
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY)
                used += entry.cbData;
        HeapUnlock(heaps[h]);
    }
    return used;
}

// ---- copying the paired tree under every benchmark address ----
bool CopyTree(const std::string &from, const std::string &to)
{
    HKEY src, dst;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, from.c_str(), 0, KEY_READ, &src) != ERROR_SUCCESS)
        return false;
    bool ok = RegCreateKeyExA(HKEY_LOCAL_MACHINE, to.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &dst,
                              nullptr) == ERROR_SUCCESS;
    ok = ok && RegCopyTreeA(src, nullptr, dst) == ERROR_SUCCESS;
    RegCloseKey(src);
    if (ok)
        RegCloseKey(dst);
    return ok;
}

// ---- the library side ----
struct Library {
    Controller &ctl;
    HQORREG reg = nullptr;
    std::map<int, size_t> heap_per_device;   // of the last run, by number of devices

    static void WINAPI OnConnect(PVOID, PLE_ADDRESS, DWORD) { Count(); }

    bool Register()
    {
        LE_ADDRESS any{0};
        GUID app = {0xC0DEC001u, 0, 0, {0}};
        return QorGattRegister(&any, &app, OnConnect, nullptr, nullptr, nullptr, &reg) == 0;
    }
    double Run(int n)
    {
        if (!Register())
            return -1;
        const uint32_t channel = ctl.LibraryChannel();
        const size_t heap = HeapInUse();
        Expect(n);
        bench::Timing timing;
        PostLinks(ctl, channel, n, true);
        bool ok = AllCame();
        double seconds = timing.Stop();
        heap_per_device[n] = (HeapInUse() - heap) / static_cast<size_t>(n);
        Expect(n);
        PostLinks(ctl, channel, n, false);
        ok = AllCame() && ok;
        QorGattDeregister(reg);
        return ok ? seconds : -1;
    }
};

// ---- the raw side: the store read key by key into nodes of its own ----
struct RawNode {
    std::unique_ptr<RawNode> next, children;
    char name[40];
    uint32_t numbers[3];
    uint8_t value[512];
};

class RawKey {
public:
    RawKey(HKEY parent, const char *name)
    {
        if (RegOpenKeyExA(parent, name, 0, KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS, &key_) != ERROR_SUCCESS)
            key_ = nullptr;
    }
    ~RawKey()
    {
        if (key_)
            RegCloseKey(key_);
    }
    RawKey(const RawKey &) = delete;
    RawKey &operator=(const RawKey &) = delete;
    HKEY get() const { return key_; }
    uint32_t Number(const char *name) const
    {
        DWORD v = 0, size = sizeof v;
        RegQueryValueExA(key_, name, nullptr, nullptr, reinterpret_cast<BYTE *>(&v), &size);
        return v;
    }

private:
    HKEY key_ = nullptr;
};

// One node per subkey of `list`, filled with the named numbers (and Value), each
// with the nodes of its `child_list` key, down the levels of `levels`.
struct Level {
    const char *numbers[3];
    const char *child_list;
    bool value;
};
const Level kLevels[] = {
    {{"e_handle", "s_handle", nullptr}, "Characteristics", false},
    {{"AttrHandle", "Properties", "ValueHandle"}, "Descriptors", false},
    {{"Handle", nullptr, nullptr}, nullptr, true},
};

std::unique_ptr<RawNode> LoadLevel(HKEY list, int level)
{
    std::unique_ptr<RawNode> head;
    std::unique_ptr<RawNode> *tail = &head;
    char name[260];
    for (DWORD i = 0;; ++i) {
        DWORD len = sizeof name;
        if (RegEnumKeyExA(list, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        RawKey key(list, name);
        if (!key.get())
            break;
        auto node = std::make_unique<RawNode>();
        lstrcpynA(node->name, name, sizeof node->name);
        const Level &l = kLevels[level];
        for (int n = 0; n < 3 && l.numbers[n]; ++n)
            node->numbers[n] = key.Number(l.numbers[n]);
        if (l.value) {
            DWORD size = sizeof node->value;
            RegQueryValueExA(key.get(), "Value", nullptr, nullptr, node->value, &size);
        }
        if (l.child_list) {
            RawKey children(key.get(), l.child_list);
            if (children.get())
                node->children = LoadLevel(children.get(), level + 1);
        }
        *tail = std::move(node);
        tail = &(*tail)->next;
    }
    return head;
}

struct Raw {
    std::vector<std::unique_ptr<RawNode>> trees = std::vector<std::unique_ptr<RawNode>>(kMaxDevices);
    std::map<int, size_t> heap_per_device;   // of the last run, by number of devices

    void OnEvent(const ZrEvent &e)
    {
        if (e.type != ZR_EVT_CONNECTION || e.connection.conn_id >= kMaxDevices)
            return;
        std::unique_ptr<RawNode> &tree = trees[e.connection.conn_id];
        if (e.connection.connected) {
            ULONGLONG address = 0;
            for (uint8_t b : e.connection.bda)
                address = address << 8 | b;
            RawKey services(HKEY_LOCAL_MACHINE, storeview::ServicesKey(address).c_str());
            tree = services.get() ? LoadLevel(services.get(), 0) : nullptr;
        } else {
            tree.reset();
        }
        Count();
    }
    double Run(Controller &ctl, int n)
    {
        bench::RawChannel channel([this](const ZrEvent &e) { OnEvent(e); });
        if (!channel.Ready())
            return -1;
        const size_t heap = HeapInUse();
        Expect(n);
        bench::Timing timing;
        PostLinks(ctl, channel.Id(), n, true);
        bool ok = AllCame();
        double seconds = timing.Stop();
        heap_per_device[n] = (HeapInUse() - heap) / static_cast<size_t>(n);
        Expect(n);
        PostLinks(ctl, channel.Id(), n, false);
        ok = AllCame() && ok;
        return ok ? seconds : -1;
    }
};

bool Prepare(Controller &ctl)
{
    ctl.Reset();
    TraceCapture trace;
    storeview::DeleteDevice(kPairedAddress);
    if (!StoreByPairing(ctl, trace, kPaired, devices::LargeDevice(kServices, 1), kPairedAddress))
        return false;
    for (int i = 0; i < kMaxDevices; ++i) {
        storeview::DeleteDevice(Address(i));
        if (!CopyTree(storeview::DeviceKey(kPairedAddress), storeview::DeviceKey(Address(i))))
            return false;
    }
    return true;
}

} // namespace

bool bench::Rows(qortest::Controller &ctl, Program *program)
{
    bench::InstallCallCounting();
    if (!Prepare(ctl))
        return false;
    auto library = std::make_shared<Library>(Library{ctl, nullptr, {}});
    auto raw = std::make_shared<Raw>();
    qortest::Controller *control = &ctl;
    bench::Benchmark b;
    b.name = "connect, 30-service trees";
    b.unit = "devices";
    // A quick run measures 10 devices and their 3x line (30) only.
    b.work = kMaxDevices / 9;
    b.scale_steps = bench::Quick() ? 1 : 2;
    b.quick_scaling = true;
    b.summary_each_size = true;   // the ratio to raw at each size; the goal is the 3x lines
    b.counted = "device";
    b.library = [library](int n) { return library->Run(n); };
    b.raw = [raw, control](int n) { return raw->Run(*control, n); };
    b.after = [library, raw] {
        for (const auto &[n, bytes] : library->heap_per_device)
            std::printf("  heap per device at %d devices: library %zu bytes, raw %zu bytes\n", n, bytes,
                        raw->heap_per_device[n]);
    };
    program->rows.push_back(b);
    program->done = [] {
        for (int i = 0; i < kMaxDevices; ++i)
            storeview::DeleteDevice(Address(i));
        storeview::DeleteDevice(kPairedAddress);
    };
    return true;
}
