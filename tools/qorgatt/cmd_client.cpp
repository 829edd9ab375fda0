// The client role, connection and the stored tree: connect, tree.
#include <cstdio>
#include <cstring>
#include <memory>

#include "explain.h"
#include "store_view.h"

namespace qorgatt {

namespace {

std::string ConnectHint(DWORD err)
{
    if (err == ERROR_INTERNAL_ERROR)
        return ": the device refused the connection, or another link event ended the wait";
    if (err == ERROR_TIMEOUT)
        return ": the device did not connect within 10 s (out of range, or not connectable)";
    return "";
}

} // namespace

void Session::Connect(ULONGLONG address)
{
    if (Connected().count(address))
        return;
    LE_ADDRESS a = Le(address);
    const DWORD err = QorGattConnect(reg_, &a, TRUE);
    if (err != ERROR_SUCCESS)
        throw Failure("connecting to " + FormatAddress(address) + " failed: " + CodeText(err) + ConnectHint(err));
    std::lock_guard<std::mutex> hold(lock_);
    connected_.insert(address);
    Note("connected to %s\n", FormatAddress(address).c_str());
}

namespace {

// ---- tree ----

Json Entry(const char *kind, const GUID &uuid, USHORT handle)
{
    char h[8];
    std::snprintf(h, sizeof h, "0x%04x", handle);
    return {{"kind", kind}, {"uuid", FormatUuid(uuid)}, {"name", UuidName(uuid)}, {"handle", h}};
}

// A characteristic's entry: the library's enumeration gives its declaration
// handle; the store adds its properties and its value handle.
Json CharacteristicEntry(ULONGLONG address, const GUID &service, const GUID &uuid, USHORT handle)
{
    Json c = Entry("characteristic", uuid, handle);
    const StoredCharacteristic stored = FindStoredCharacteristic(address, service, uuid);
    char h[8];
    std::snprintf(h, sizeof h, "0x%04x", stored.value_handle);
    c["value_handle"] = stored.found ? h : "";
    c["properties"] = stored.found ? FormatProperties(stored.properties) : "";
    return c;
}

Json Tree(ULONGLONG address)
{
    LE_ADDRESS a = Le(address);
    Json services = Json::array();
    GUID service, uuid;
    USHORT hs = 0, hc = 0, hd = 0;
    DWORD err;
    for (DWORD i = 0; (err = QorGattEnumService(&a, i, &service, &hs)) == ERROR_SUCCESS; ++i) {
        Json s = Entry("service", service, hs);
        s["characteristics"] = Json::array();
        for (DWORD j = 0; QorGattEnumCharacteristic(&a, hs, j, &uuid, &hc) == ERROR_SUCCESS; ++j) {
            Json c = CharacteristicEntry(address, service, uuid, hc);
            c["descriptors"] = Json::array();
            for (DWORD k = 0; QorGattEnumDescriptor(&a, hs, hc, k, &uuid, &hd) == ERROR_SUCCESS; ++k)
                c["descriptors"].push_back(Entry("descriptor", uuid, hd));
            s["characteristics"].push_back(c);
        }
        services.push_back(s);
    }
    Check("QorGattEnumService", err, ERROR_NO_MORE_ITEMS);
    return services;
}

// kind, UUID, handle, then for a characteristic its value handle and properties, then the name.
void PrintEntry(const Json &e, int depth)
{
    const std::string value = e.value("value_handle", ""), properties = e.value("properties", "");
    std::printf("%*s%-14s %-38s %s  %-6s  %-22s %s\n", depth * 2, "", e["kind"].get<std::string>().c_str(),
                e["uuid"].get<std::string>().c_str(), e["handle"].get<std::string>().c_str(), value.c_str(),
                properties.c_str(), e["name"].get<std::string>().c_str());
}

void ShowTree(const std::string &addr_text, bool json)
{
    const ULONGLONG address = AddressArg(addr_text);
    Session::Get();   // enumeration wants a registered application
    Json tree = Tree(address);
    if (json)
        return Print(tree);
    if (tree.empty())
        throw Failure(NeverPaired(address));
    for (const Json &svc : tree) {
        PrintEntry(svc, 0);
        for (const Json &c : svc["characteristics"]) {
            PrintEntry(c, 1);
            for (const Json &d : c["descriptors"])
                PrintEntry(d, 2);
        }
    }
}

// ---- connect ----

void Connect(const std::string &addr_text, unsigned hold_s)
{
    const ULONGLONG address = AddressArg(addr_text);
    Session &s = Session::Get();
    s.OnConnect([](ULONGLONG a, bool up) {
        std::printf("%s %s\n", FormatAddress(a).c_str(), up ? "connected" : "disconnected");
    });
    s.Connect(address);
    const size_t services = Tree(address).size();
    std::printf("%zu service(s) in its stored tree%s\n", services,
                services ? "" : " (pair it first: qorgatt pair ADDR)");
    if (hold_s) {
        std::printf("holding the connection for %u s (Ctrl-C ends)\n", hold_s);
        WaitForInterrupt(hold_s * 1000);
    }
}

void Add(CLI::App &app)
{
    // Each subcommand owns its arguments: subcommands chain in one run.
    struct Args {
        std::string addr;
        bool json = false;
        unsigned hold = 0;
    };
    auto t = std::make_shared<Args>();
    CLI::App *tree = app.add_subcommand("tree", "List a device's stored services, characteristics and descriptors");
    AddAddress(tree, t->addr);
    tree->add_flag("--json", t->json, "print JSON");
    Chain(tree, t, [](const Args &a) { ShowTree(a.addr, a.json); });

    auto c = std::make_shared<Args>();
    CLI::App *connect = app.add_subcommand("connect", "Connect to a device (waits up to 10 s)");
    AddAddress(connect, c->addr);
    connect->add_option("--hold", c->hold, "keep the connection this many seconds (Ctrl-C ends)");
    Chain(connect, c, [](const Args &a) { Connect(a.addr, a.hold); });
}

const Group kGroup(2, Add);

} // namespace

} // namespace qorgatt
