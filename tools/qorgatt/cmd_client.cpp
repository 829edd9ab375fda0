// The client role, connection and the stored tree: connect, tree.
#include <cstdio>
#include <memory>

#include "explain.h"
#include "store_view.h"

namespace qorgatt {

namespace {

// ---- tree ----

Json Entry(const char *kind, const Uuid &uuid, uint16_t handle)
{
    char h[8];
    std::snprintf(h, sizeof h, "0x%04x", handle);
    return {{"kind", kind}, {"uuid", uuid.str()}, {"name", uuid.name()}, {"handle", h}};
}

// A characteristic's entry: the library's enumeration gives its declaration
// handle; the store adds its value handle and its properties.
Json CharacteristicEntry(const qorle::Characteristic &c)
{
    Json e = Entry("characteristic", c.uuid, c.handle);
    char h[8];
    std::snprintf(h, sizeof h, "0x%04x", c.value_handle.value_or(0));
    e["value_handle"] = c.value_handle ? h : "";
    e["properties"] = c.properties ? FormatProperties(*c.properties) : "";
    e["descriptors"] = Json::array();
    for (const qorle::Descriptor &d : c.descriptors)
        e["descriptors"].push_back(Entry("descriptor", d.uuid, d.handle));
    return e;
}

Json Tree(Address address)
{
    Json services = Json::array();
    for (const qorle::Service &s : StoredTree(address)) {
        Json e = Entry("service", s.uuid, s.handle);
        e["characteristics"] = Json::array();
        for (const qorle::Characteristic &c : s.characteristics)
            e["characteristics"].push_back(CharacteristicEntry(c));
        services.push_back(e);
    }
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
    const Address address = AddressArg(addr_text);
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
    const Address address = AddressArg(addr_text);
    Session &s = Session::Get();
    s.OnConnect([](Address a, bool up) { std::printf("%s %s\n", a.str().c_str(), up ? "connected" : "disconnected"); });
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
