// Pairing discovery of a large simulated device, against a raw program that
// does the same traffic without the library:
//   walk + store: QorGattPairingDiscover until its completion function, against
//     a replay of the requests the library sent (from the controller's request
//     log) on a channel of the benchmark's own, each sent when the event that
//     ended the one before arrives, as the walk sends them, with the same event
//     traffic; then the same registry keys and values written with the
//     registry API alone.
//   store: LeDeviceDumpDiscoverDbToRegistry from the list in memory, against
//     those registry writes alone.
// One unit of work is a service of ten characteristics with two descriptors
// each. Measured with the method of method.h.

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../tests/pairing/devices.h"
#include "../tests/pairing/store_view.h"
#include "QorLeLib.h"
#include "link/discovery.h"
#include "pairing/pairing.h"
#include "qortest.h"

#include "call_count.h"
#include "method.h"
#include "raw_channel.h"

namespace {

constexpr int kServices = 20;   // 10 in a quick run
constexpr int kCharsPerService = 10;
constexpr DWORD kWalkTimeoutMs = 120000;
constexpr ULONGLONG kStoreAddress = 0x5B0000000001ULL;
const uint8_t kDevice[6] = {0xB0, 0x00, 0x00, 0x00, 0x00, 0x01};

// ---- what the library did, to be done again by hand ----

struct Request {
    uint32_t code;
    std::vector<uint8_t> in;
    DWORD out_len;
};

// A registry key as the store left it: its values and its subkeys.
struct Key {
    std::string name;
    struct Value {
        std::string name;
        DWORD type;
        std::vector<uint8_t> data;
    };
    std::vector<Value> values;
    std::vector<Key> keys;
};

struct Script {
    uint16_t conn_id = 0;
    std::vector<Request> requests;
    Key store;
    size_t events = 0;   // events the replay took
};

std::map<int, Script> g_scripts;           // by number of services
std::map<int, qortest::GattDb> g_devices;  // likewise

// ---- the raw side: a channel of its own that replays a script ----

class Replay {
public:
    Replay() : channel_(std::make_unique<bench::RawChannel>([this](const ZrEvent &e) { OnEvent(e); })) {}
    ~Replay()
    {
        channel_.reset();   // its thread first
        CloseHandle(link_);
        CloseHandle(done_);
    }
    bool Ready() const { return channel_->Ready(); }

    void ExpectLink() { ResetEvent(link_); }
    bool WaitLink() { return WaitForSingleObject(link_, 5000) == WAIT_OBJECT_0; }
    uint16_t ConnId() const { return conn_id_; }

    // Sends the requests in turn; false when one was refused or an event is missing.
    bool Run(const std::vector<Request> &requests)
    {
        requests_ = &requests;
        next_ = 0;
        events_ = 0;
        failed_ = false;
        ResetEvent(done_);
        SendNext();
        return WaitForSingleObject(done_, kWalkTimeoutMs) == WAIT_OBJECT_0 && !failed_;
    }
    size_t Events() const { return events_; }

private:
    void OnEvent(const ZrEvent &e)
    {
        if (e.type == ZR_EVT_CONNECTION) {
            conn_id_ = e.connection.conn_id;
            SetEvent(link_);
            return;
        }
        ++events_;
        // A discover request ends with its complete record, a read with its completion.
        if (e.type != ZR_EVT_DISC_RESULT && requests_)
            SendNext();
    }
    void SendNext()
    {
        const std::vector<Request> &requests = *requests_.load();
        if (next_ == requests.size()) {
            requests_ = nullptr;
            SetEvent(done_);
            return;
        }
        const Request &r = requests[next_++];
        uint8_t out[VCTL_LOG_MAX_OUT];
        if (!channel_->Request(r.code, r.in.data(), static_cast<DWORD>(r.in.size()), out, r.out_len)) {
            failed_ = true;
            requests_ = nullptr;
            SetEvent(done_);
        }
    }

    HANDLE link_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE done_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<const std::vector<Request> *> requests_{nullptr};   // set while a replay runs
    size_t next_ = 0;
    size_t events_ = 0;
    bool failed_ = false;
    uint16_t conn_id_ = 0;
    std::unique_ptr<bench::RawChannel> channel_;   // last: its thread sees the members above
};

// ---- registry ----

Key ReadKey(HKEY parent, const std::string &name)
{
    Key k;
    k.name = name;
    HKEY h;
    if (RegOpenKeyExA(parent, name.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS)
        return k;
    char text[260];
    BYTE data[1024];
    for (DWORD i = 0;; ++i) {
        DWORD text_len = sizeof text, data_len = sizeof data, type = 0;
        if (RegEnumValueA(h, i, text, &text_len, nullptr, &type, data, &data_len) != ERROR_SUCCESS)
            break;
        k.values.push_back({std::string(text, text_len), type, std::vector<uint8_t>(data, data + data_len)});
    }
    for (DWORD i = 0;; ++i) {
        DWORD text_len = sizeof text;
        if (RegEnumKeyExA(h, i, text, &text_len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        k.keys.push_back(ReadKey(h, std::string(text, text_len)));
    }
    RegCloseKey(h);
    return k;
}

size_t CountKeys(const Key &k, size_t *values)
{
    size_t n = 1;
    *values += k.values.size();
    for (const Key &sub : k.keys)
        n += CountKeys(sub, values);
    return n;
}

// The raw store: each key created under its parent, its values set, its subkeys written, as the store does.
bool WriteKey(HKEY parent, const Key &k)
{
    HKEY h;
    if (RegCreateKeyExA(parent, k.name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &h,
                        nullptr) != ERROR_SUCCESS)
        return false;
    bool ok = true;
    for (const Key::Value &v : k.values)
        ok &= RegSetValueExA(h, v.name.c_str(), 0, v.type, v.data.data(), static_cast<DWORD>(v.data.size())) ==
              ERROR_SUCCESS;
    for (const Key &sub : k.keys)
        ok = ok && WriteKey(h, sub);
    RegCloseKey(h);
    return ok;
}

// ---- one run's setup: the device of `services` services, connected ----

HANDLE g_done;
DWORD g_success;
int g_list_services = 0;   // the size of the list the library holds

void WINAPI OnPaired(ULONGLONG, DWORD success)
{
    g_success = success;
    SetEvent(g_done);
}

bool SetLink(qortest::Controller &ctl, Replay &raw, bool up)
{
    bench::LineWatch watch("LeDeviceConnectCallback");
    raw.ExpectLink();
    ctl.SetLink(kDevice, up);
    return watch.Wait() && raw.WaitLink();
}

bool Connect(qortest::Controller &ctl, Replay &raw, int services)
{
    ctl.Reset();
    storeview::DeleteDevice(kStoreAddress);
    auto db = g_devices.find(services);
    if (db == g_devices.end())
        db = g_devices.emplace(services, devices::LargeDevice(services, kCharsPerService)).first;
    ctl.AddDevice(kDevice, db->second, 0);
    return SetLink(ctl, raw, true);
}

// The library's walk and store, from the call to the completion function.
double LibraryWalk(qortest::Controller &ctl, Replay &raw, int services)
{
    if (!Connect(ctl, raw, services))
        return -1;
    bench::Timing timing;
    bool ok = QorGattPairingDiscover(kStoreAddress, OnPaired) == 0 &&
              WaitForSingleObject(g_done, kWalkTimeoutMs) == WAIT_OBJECT_0 && g_success == 1;
    const double seconds = timing.Stop();
    g_list_services = ok ? services : 0;
    return SetLink(ctl, raw, false) && ok ? seconds : -1;
}

double RawWalk(qortest::Controller &ctl, Replay &raw, int services)
{
    const Script &script = g_scripts[services];
    if (!Connect(ctl, raw, services) || raw.ConnId() != script.conn_id)
        return -1;
    bench::Timing timing;
    bool ok = raw.Run(script.requests) && WriteKey(HKEY_LOCAL_MACHINE, script.store);
    const double seconds = timing.Stop();
    return SetLink(ctl, raw, false) && ok ? seconds : -1;
}

double LibraryStore(qortest::Controller &ctl, Replay &raw, int services)
{
    if (g_list_services != services && LibraryWalk(ctl, raw, services) < 0)
        return -1;
    storeview::DeleteDevice(kStoreAddress);
    const double start = bench::Seconds();
    LSTATUS err = LeDeviceDumpDiscoverDbToRegistry();
    const double seconds = bench::Seconds() - start;
    return err == ERROR_SUCCESS ? seconds : -1;
}

double RawStore(int services)
{
    storeview::DeleteDevice(kStoreAddress);
    const double start = bench::Seconds();
    bool ok = WriteKey(HKEY_LOCAL_MACHINE, g_scripts[services].store);
    const double seconds = bench::Seconds() - start;
    return ok ? seconds : -1;
}

// One untimed walk of the library, recorded for the raw side: its requests,
// the store it wrote and the events the replay takes.
bool Record(qortest::Controller &ctl, Replay &raw, int services)
{
    if (LibraryWalk(ctl, raw, services) < 0) // leaves the log of the walk, the store and the list
        return false;
    Script &s = g_scripts[services];
    s.conn_id = raw.ConnId();
    size_t discovers = 0;
    for (const VctlLogEntry &e : ctl.Log()) {
        if (e.code != ZOREROVA_GATTC_DISCOVER && e.code != ZOREROVA_GATTC_READ)
            continue;
        discovers += e.code == ZOREROVA_GATTC_DISCOVER;
        s.requests.push_back({e.code, std::vector<uint8_t>(e.in, e.in + e.in_len), e.out_len});
    }
    s.store = ReadKey(HKEY_LOCAL_MACHINE, storeview::ServicesKey(kStoreAddress));
    if (RawWalk(ctl, raw, services) < 0)
        return false;
    s.events = raw.Events();
    size_t values = 0;
    size_t keys = CountKeys(s.store, &values);
    std::printf("%d services: %zu requests (%zu discover, %zu read), %zu events; store of %zu keys, %zu values\n",
                services, s.requests.size(), discovers, s.requests.size() - discovers, s.events, keys, values);
    return !s.requests.empty();
}

} // namespace

bool bench::Rows(qortest::Controller &ctl, Program *program)
{
    bench::InstallCallCounting();
    g_done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (QorGattPairingRegister() != 0) {
        std::printf("registration failed\n");
        return false;
    }
    const int services = bench::Quick() ? kServices / 2 : kServices;
    auto raw = std::make_shared<Replay>();
    if (!raw->Ready() || !Record(ctl, *raw, services) || !Record(ctl, *raw, 3 * services)) {
        std::printf("the walk could not be recorded\n");
        return false;
    }
    qortest::Controller *control = &ctl;
    bench::Benchmark walk;
    walk.name = "pairing walk + store";
    walk.unit = "services";
    walk.work = services;
    walk.goal = 1.10;
    walk.quick_scaling = true;
    walk.library = [control, raw](int n) { return LibraryWalk(*control, *raw, n); };
    walk.raw = [control, raw](int n) { return RawWalk(*control, *raw, n); };
    walk.counted = "request";
    walk.counted_units = static_cast<double>(g_scripts[services].requests.size());
    program->rows.push_back(walk);

    bench::Benchmark store = walk;
    store.name = "store alone";
    store.goal = 1.05;
    // No 3x line: each run at another size than the last would walk again to
    // have that size's list, and the walk's own line scales the store with it.
    store.scaling = false;
    store.counted = nullptr;
    store.library = [control, raw](int n) { return LibraryStore(*control, *raw, n); };
    store.raw = [](int n) { return RawStore(n); };
    program->rows.push_back(store);
    program->done = [] {
        QorGattPairingUnregister();
        storeview::DeleteDevice(kStoreAddress);
    };
    return true;
}
