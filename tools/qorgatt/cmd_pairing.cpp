// pair: pairing discovery of one device into the service store;
// devices: what the store holds.
#include <cstdio>
#include <cstring>
#include <memory>

#include "qorgatt.h"
#include "store/layout.h"

namespace qorgatt {

namespace {

// ---- pair ----

struct PairRun {
    Event connected, done;
    DWORD success = 0;
    int services = 0, characteristics = 0, descriptors = 0;
};
PairRun *g_pair = nullptr;

void WINAPI OnPaired(ULONGLONG, DWORD success)
{
    g_pair->success = success;
    g_pair->done.Set();
}

bool StartsWith(const char *line, const char *prefix) { return std::strncmp(line, prefix, std::strlen(prefix)) == 0; }

// The pairing registration reports connections and discovery results only as
// trace lines; they give the progress.
void WatchPairing(PairRun &run, ULONGLONG address)
{
    const std::string connected = "LeDeviceConnectCallback " + StoreName(address) + " ";
    WatchTrace([&run, connected](const char *line) {
        if (StartsWith(line, connected.c_str()) && std::strstr(line, "connected 1")) {
            run.connected.Set();
        } else if (StartsWith(line, "DiscoveryResult All Services") ||
                   StartsWith(line, "DiscoveryResult Included Service")) {
            std::printf("  found service #%d\n", ++run.services);
        } else if (StartsWith(line, "DiscoveryResult Char ")) {
            std::printf("  found characteristic #%d\n", ++run.characteristics);
        } else if (StartsWith(line, "DiscoveryResult descriptor")) {
            std::printf("  found descriptor #%d\n", ++run.descriptors);
        }
    });
}

struct PairingRegistration {
    PairingRegistration() { Check("QorGattPairingRegister", QorGattPairingRegister()); }
    ~PairingRegistration()
    {
        QorGattPairingUnregister();
        WatchTrace(nullptr);
    }
};

void Pair(const std::string &addr_text, unsigned wait_s)
{
    const ULONGLONG address = AddressArg(addr_text);
    PairRun run;
    g_pair = &run;
    WatchPairing(run, address);
    PairingRegistration reg;
    std::printf("pairing registered; waiting up to %u s for %s to connect\n", wait_s, FormatAddress(address).c_str());
    if (!run.connected.Wait(wait_s * 1000))
        throw Failure(FormatAddress(address) + " did not connect within " + std::to_string(wait_s) + " s");
    std::printf("%s connected; discovering its database\n", FormatAddress(address).c_str());
    Check("QorGattPairingDiscover", QorGattPairingDiscover(address, OnPaired));
    if (!run.done.Wait(30000))
        throw Failure("discovery of " + FormatAddress(address) + " did not end within 30 s");
    if (!run.success)
        throw Failure("discovery of " + FormatAddress(address) + " failed; nothing stored");
    std::printf("paired %s: %d services, %d characteristics, %d descriptors stored\n",
                FormatAddress(address).c_str(), run.services, run.characteristics, run.descriptors);
}

// ---- devices ----

// The names of a store key's subkeys, in the registry's order.
std::vector<std::string> Subkeys(const StoreKey &key)
{
    std::vector<std::string> names;
    char name[kStoreKeyNameSize];
    for (DWORD i = 0; key && key.Subkey(i, name); ++i)
        names.emplace_back(name);
    return names;
}

void Forget(const std::string &addr_text)
{
    const ULONGLONG address = AddressArg(addr_text);
    char path[kStorePathSize];
    StoreDevicePath(path, address);
    LSTATUS err = RegDeleteTreeA(HKEY_LOCAL_MACHINE, path);
    if (err == ERROR_FILE_NOT_FOUND)
        return (void)std::printf("%s is not in the store: nothing to forget\n", FormatAddress(address).c_str());
    Check(("forgetting " + FormatAddress(address)).c_str(), static_cast<DWORD>(err));
    std::printf("forgot %s: its stored tree is removed\n", FormatAddress(address).c_str());
}

void Devices(bool json)
{
    Json list = Json::array();
    const StoreKey devices(HKEY_LOCAL_MACHINE, kStoreDevicesPath, KEY_READ);
    for (const std::string &name : Subkeys(devices)) {
        ULONGLONG address;
        const StoreKey services(devices.get(), (name + "\\" + kStoreServicesKey).c_str(), KEY_READ);
        if (!ParseAddress(name, &address) || !services)
            continue;
        Json entry{{"address", FormatAddress(address)}, {"services", Json::array()}};
        for (const std::string &s : Subkeys(services)) {
            GUID uuid{};
            ParseUuid(s, &uuid);
            entry["services"].push_back({{"uuid", s}, {"name", UuidName(uuid)}});
        }
        list.push_back(entry);
    }
    if (json)
        return Print(list);
    if (list.empty())
        std::printf("no devices in the store\n");
    for (const Json &d : list) {
        std::printf("%s  %zu service(s)\n", d["address"].get<std::string>().c_str(), d["services"].size());
        for (const Json &s : d["services"])
            std::printf("  %-38s %s\n", s["uuid"].get<std::string>().c_str(), s["name"].get<std::string>().c_str());
    }
}

void Add(CLI::App &app)
{
    // Each subcommand owns its arguments: subcommands chain in one run.
    struct Args {
        std::string addr, forget;
        unsigned wait_s = 10;
        bool json = false;
    };
    auto p = std::make_shared<Args>();
    CLI::App *pair = app.add_subcommand("pair", "Discover a device's whole database and store it (pairing discovery)");
    AddAddress(pair, p->addr);
    pair->add_option("--wait", p->wait_s, "seconds to wait for the device to connect")
        ->capture_default_str()
        ->check(CLI::Range(1, 600));
    Chain(pair, p, [](const Args &a) { Pair(a.addr, a.wait_s); });

    auto d = std::make_shared<Args>();
    CLI::App *devices = app.add_subcommand("devices", "List the devices in the service store and their services");
    devices->add_flag("--json", d->json, "print JSON");
    devices->add_option("--forget", d->forget, "remove this device's stored tree instead")->check(kAddress);
    Chain(devices, d, [](const Args &a) { a.forget.empty() ? Devices(a.json) : Forget(a.forget); });
}

const Group kGroup(1, Add);

} // namespace

} // namespace qorgatt
