// pair: pairing discovery of one device into the service store;
// devices: what the store holds.
#include <cstdio>
#include <memory>
#include <optional>

#include "qorgatt.h"
#include "store/layout.h"

namespace qorgatt {

namespace {

// ---- pair ----

struct PairRun {
    Event connected, done;
    bool success = false;
    int services = 0, characteristics = 0, descriptors = 0;
};

bool StartsWith(std::string_view line, std::string_view prefix) { return line.substr(0, prefix.size()) == prefix; }

// The pairing registration reports connections and discovery results only as
// trace lines; they give the progress. A connection names the device by its
// key in the store: 12 lower-case hex digits.
void WatchPairing(PairRun &run, Address address)
{
    char name[13];
    std::snprintf(name, sizeof name, "%012llx", static_cast<unsigned long long>(address.value()));
    const std::string connected = "LeDeviceConnectCallback " + std::string(name) + " ";
    WatchTrace([&run, connected](std::string_view line) {
        if (StartsWith(line, connected) && line.find("connected 1") != std::string_view::npos) {
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

struct TraceWatch {
    ~TraceWatch() { WatchTrace(nullptr); }
};

void Pair(const std::string &addr_text, unsigned wait_s)
{
    const Address address = AddressArg(addr_text);
    const std::string device = address.str();
    PairRun run;
    TraceWatch watch;
    WatchPairing(run, address);
    std::error_code ec;
    qorle::Pairing pairing(ec);
    Check("registering for pairing discovery", ec);
    std::printf("pairing registered; waiting up to %u s for %s to connect\n", wait_s, device.c_str());
    if (!run.connected.Wait(wait_s * 1000))
        throw Failure(device + " did not connect within " + std::to_string(wait_s) + " s");
    std::printf("%s connected; discovering its database\n", device.c_str());
    pairing.discover(address, [&run](Address, bool success) {
        run.success = success;
        run.done.Set();
    }, ec);
    Check("starting the discovery of " + device, ec);
    if (!run.done.Wait(30000))
        throw Failure("discovery of " + device + " did not end within 30 s");
    if (!run.success)
        throw Failure("discovery of " + device + " failed; nothing stored");
    std::printf("paired %s: %d services, %d characteristics, %d descriptors stored\n", device.c_str(), run.services,
                run.characteristics, run.descriptors);
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
    const Address address = AddressArg(addr_text);
    char path[kStorePathSize];
    StoreDevicePath(path, address.value());
    LSTATUS err = RegDeleteTreeA(HKEY_LOCAL_MACHINE, path);
    if (err == ERROR_FILE_NOT_FOUND)
        return (void)std::printf("%s is not in the store: nothing to forget\n", address.str().c_str());
    Check("forgetting " + address.str(), static_cast<DWORD>(err));
    std::printf("forgot %s: its stored tree is removed\n", address.str().c_str());
}

void Devices(bool json)
{
    Json list = Json::array();
    const StoreKey devices(HKEY_LOCAL_MACHINE, kStoreDevicesPath, KEY_READ);
    for (const std::string &name : Subkeys(devices)) {
        const std::optional<Address> address = Address::parse(name);
        const StoreKey services(devices.get(), (name + "\\" + kStoreServicesKey).c_str(), KEY_READ);
        if (!address || !services)
            continue;
        Json entry{{"address", address->str()}, {"services", Json::array()}};
        for (const std::string &s : Subkeys(services)) {
            const std::optional<Uuid> uuid = Uuid::parse(s);
            entry["services"].push_back({{"uuid", s}, {"name", uuid ? uuid->name() : ""}});
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
