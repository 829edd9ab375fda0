// Loading a device's attribute tree from the service store, next to a raw
// program in the same run that opens and reads the same keys and values with
// the registry API alone. The store is the one a pairing discovery writes for
// a device of 30 services of 10 characteristics, each with two descriptors
// (930 store entries); the 3x line loads a device three times that size.

#include <cstdio>

#include "../tests/pairing/devices.h"
#include "../tests/pairing/store_view.h"
#include "client/attr_cache.h"
#include "method.h"
#include "qortest.h"

namespace {

constexpr int kServices = 30;
constexpr int kChars = 10;
constexpr int kEntries = kServices * (1 + kChars * 3);   // services, characteristics, descriptors
constexpr int kLoads = 1;                                // per run
constexpr ULONGLONG kOneX = 0x5B0000000931, kThreeX = 0x5B0000000932;
const uint8_t kDevice[6] = {0xB0, 0x00, 0x00, 0x00, 0x09, 0x30};

ULONGLONG StoreOf(int work) { return work == kEntries ? kOneX : kThreeX; }

int Count(const QOR_CONN_DEV &dev)
{
    int n = 0;
    for (const LeService *s = dev.services; s; s = s->next, ++n)
        for (const LeChar *c = s->characteristics; c; c = c->next, ++n)
            for (const LeDescr *d = c->descriptors; d; d = d->next)
                ++n;
    return n;
}

double Library(int work)
{
    double seconds = 0;
    for (int i = 0; i < kLoads; ++i) {
        QOR_CONN_DEV dev;
        dev.Address.ullLong = StoreOf(work);
        double start = bench::Seconds();
        LoadAttributeCache(&dev);
        seconds += bench::Seconds() - start;
        if (Count(dev) != work) {
            std::printf("library loaded %d entries, not %d\n", Count(dev), work);
            return -1;
        }
    }
    return seconds;
}

// ---- the raw side: the same opens, enumerations and reads, nothing kept ----

constexpr REGSAM kAccess = KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS;
const char *const kListBelow[] = {"Characteristics", "Descriptors", nullptr};
const char *const kValues[][3] = {{"e_handle", "s_handle"}, {"AttrHandle", "Properties", "ValueHandle"}, {"Handle"}};

// Entries below an open list key at a level (0 services, 1 characteristics, 2 descriptors).
int RawLevel(HKEY list, int level)
{
    int n = 0;
    char name[260];
    BYTE data[512];
    for (DWORD index = 0;; ++index) {
        DWORD size = sizeof name;
        HKEY item;
        if (RegEnumKeyExA(list, index, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
            RegOpenKeyExA(list, name, 0, kAccess, &item) != ERROR_SUCCESS)
            return n;
        ++n;
        for (const char *value : kValues[level]) {
            DWORD got = 4;
            if (value)
                RegQueryValueExA(item, value, nullptr, nullptr, data, &got);
        }
        DWORD got = sizeof data;
        HKEY below;
        if (level == 2)
            RegQueryValueExA(item, "Value", nullptr, nullptr, data, &got);
        else if (RegOpenKeyExA(item, kListBelow[level], 0, kAccess, &below) == ERROR_SUCCESS) {
            n += RawLevel(below, level + 1);
            RegCloseKey(below);
        }
        RegCloseKey(item);
    }
}

double Raw(int work)
{
    const std::string path = storeview::ServicesKey(StoreOf(work));
    double seconds = 0;
    for (int i = 0; i < kLoads; ++i) {
        double start = bench::Seconds();
        HKEY root;
        int n = -1;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &root) == ERROR_SUCCESS) {
            n = RawLevel(root, 0);
            RegCloseKey(root);
        }
        seconds += bench::Seconds() - start;
        if (n != work) {
            std::printf("raw read %d entries, not %d\n", n, work);
            return -1;
        }
    }
    return seconds;
}

} // namespace

bool bench::Rows(qortest::Controller &ctl, Program *program)
{
    qortest::TraceCapture trace;
    for (auto [address, services] : {std::pair{kOneX, kServices}, std::pair{kThreeX, 3 * kServices}}) {
        storeview::DeleteDevice(address);
        ctl.Reset();
        if (!qortest::StoreByPairing(ctl, trace, kDevice, devices::LargeDevice(services, kChars), address)) {
            std::printf("pairing the %d-service device failed\n", services);
            return false;
        }
    }
    bench::Benchmark b = bench::Row("attribute tree load from the store", "entries", kEntries, Library, Raw);
    b.goal = 1.10;
    program->rows.push_back(b);
    program->done = [] {
        for (ULONGLONG address : {kOneX, kThreeX})
            storeview::DeleteDevice(address);
    };
    return true;
}
