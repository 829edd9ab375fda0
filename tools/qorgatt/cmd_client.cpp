// The client role, connection and the stored tree: connect, tree.
#include <cstdio>
#include <cstring>
#include <memory>

#include "session.h"

namespace qorgatt {

void Session::Connect(ULONGLONG address)
{
    if (Connected().count(address))
        return;
    LE_ADDRESS a = Le(address);
    Check("QorGattConnect", QorGattConnect(reg_, &a, TRUE));
    std::lock_guard<std::mutex> hold(lock_);
    connected_.insert(address);
    std::printf("connected to %s\n", FormatAddress(address).c_str());
}

namespace {

// ---- tree ----

Json Entry(const char *kind, const GUID &uuid, USHORT handle)
{
    char h[8];
    std::snprintf(h, sizeof h, "0x%04x", handle);
    return {{"kind", kind}, {"uuid", FormatUuid(uuid)}, {"name", UuidName(uuid)}, {"handle", h}};
}

Json Tree(ULONGLONG address)
{
    LE_ADDRESS a = Le(address);
    Json services = Json::array();
    GUID uuid;
    USHORT hs = 0, hc = 0, hd = 0;
    DWORD err;
    for (DWORD i = 0; (err = QorGattEnumService(&a, i, &uuid, &hs)) == ERROR_SUCCESS; ++i) {
        Json s = Entry("service", uuid, hs);
        s["characteristics"] = Json::array();
        for (DWORD j = 0; QorGattEnumCharacteristic(&a, hs, j, &uuid, &hc) == ERROR_SUCCESS; ++j) {
            Json c = Entry("characteristic", uuid, hc);
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

void PrintEntry(const Json &e, int depth)
{
    std::printf("%*s%-14s %-38s %s  %s\n", depth * 2, "", e["kind"].get<std::string>().c_str(),
                e["uuid"].get<std::string>().c_str(), e["handle"].get<std::string>().c_str(),
                e["name"].get<std::string>().c_str());
}

void ShowTree(const std::string &addr_text, bool json)
{
    const ULONGLONG address = AddressArg(addr_text);
    Session::Get();   // enumeration wants a registered application
    Json tree = Tree(address);
    if (json)
        return Print(tree);
    if (tree.empty())
        throw Failure("no services stored for " + FormatAddress(address) + " (pair it first: qorgatt pair ADDR)");
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
    std::printf("%zu service(s) in its stored tree\n", Tree(address).size());
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
    tree->callback([t] { ShowTree(t->addr, t->json); });

    auto c = std::make_shared<Args>();
    CLI::App *connect = app.add_subcommand("connect", "Connect to a device (waits up to 10 s)");
    AddAddress(connect, c->addr);
    connect->add_option("--hold", c->hold, "keep the connection this many seconds (Ctrl-C ends)");
    connect->callback([c] { Connect(c->addr, c->hold); });
}

const Group kGroup(2, Add);

} // namespace

} // namespace qorgatt
