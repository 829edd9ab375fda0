// sim notify, sim central, sim loopback: simulated peers that push values to
// us, or read and write our local services.
#include <cstdio>
#include <cstring>
#include <memory>

#include "sim.h"
#include "value_format.h"

namespace qorgatt {

namespace {

uint16_t HandleArg(const std::string &text)
{
    long long v = 0;
    if (!ParseNumber(text, &v) || v < 1 || v > 0xFFFF)
        throw UsageError("HANDLE: '" + text + "' is not an attribute handle (1 to 0xFFFF)");
    return static_cast<uint16_t>(v);
}

std::vector<uint8_t> BytesArg(const std::string &hex) { return ParseValue(hex, ""); }

void Expect(DWORD err, const std::string &what, Address address)
{
    if (err == ERROR_NOT_FOUND || err == ERROR_FILE_NOT_FOUND)
        throw Failure(what + ": no such simulated device, or not connected: " + address.str());
    Check(what.c_str(), err);
}

// ---- sim notify ----

void SimNotify(const std::string &addr_text, const std::string &handle, const std::string &value, bool indicate,
               unsigned count)
{
    VctlNotify n{};
    const Address address = AddressArg(addr_text);
    PutBda(n.bda, address);
    n.handle = HandleArg(handle);
    n.kind = indicate ? VCTL_KIND_INDICATION : VCTL_KIND_NOTIFICATION;
    n.use_stored = value.empty();
    std::vector<uint8_t> bytes = BytesArg(value);
    n.value_len = static_cast<uint16_t>(bytes.size());
    std::memcpy(n.value, bytes.data(), bytes.size());
    n.count = count;
    Controller ctl;
    Expect(ctl.Request(VCTL_REMOTE_NOTIFY, &n, sizeof n), "pushing the value", address);
    std::printf("%s pushed %u %s(s) of handle 0x%04x\n", address.str().c_str(), count,
                indicate ? "indication" : "notification", n.handle);
}

// ---- sim central ----

VctlCentral CentralState(Controller &ctl, Address address)
{
    VctlAddress a;
    PutBda(a.bda, address);
    auto state = std::make_unique<VctlCentral>();
    Expect(ctl.Request(VCTL_GET_CENTRAL, &a, sizeof a, state.get(), sizeof *state), "reading the central", address);
    return *state;
}

// The transaction's answer, once the serving application has sent one.
bool Answered(const VctlCentral &c, uint32_t trans_id, VctlCentralTx *tx)
{
    for (uint32_t i = 0; i < VCTL_CENTRAL_KEEP && i < c.tx_count; ++i)
        if (c.tx[i].trans_id == trans_id && c.tx[i].answers) {
            *tx = c.tx[i];
            return true;
        }
    return false;
}

// Why the controller refused a central's request: the central, or the handle.
void CentralRefusal(DWORD err, const char *what, Address address, uint16_t handle)
{
    char h[8];
    std::snprintf(h, sizeof h, "0x%04x", handle);
    const std::string request = std::string("the central's ") + what + " of handle " + h;
    if (err == ERROR_NOT_FOUND)
        throw Failure(request + ": no local service holds that handle (serve prints each value handle)");
    if (err == ERROR_NOT_READY)
        throw Failure(request + ": the service that holds it is not started");
    if (err == ERROR_DEVICE_NOT_CONNECTED)
        throw Failure(request + ": " + address.str() +
                      " is not a connected central (sim central ADDR connect)");
    Check(request.c_str(), err);
}

void CentralRequest(Controller &ctl, Address address, uint8_t kind, uint16_t handle,
                    const std::vector<uint8_t> &value, bool need_rsp)
{
    VctlCentralRequest r{};
    PutBda(r.bda, address);
    r.kind = kind;
    r.need_rsp = need_rsp;
    r.handle = handle;
    r.value_len = static_cast<uint16_t>(value.size());
    std::memcpy(r.value, value.data(), value.size());
    uint32_t trans_id = 0;
    const char *what = kind == VCTL_CENTRAL_READ ? "read" : "write";
    CentralRefusal(ctl.Request(VCTL_CENTRAL_REQUEST, &r, sizeof r, &trans_id, sizeof trans_id), what, address, handle);
    if (!need_rsp)
        return (void)std::printf("%s %s 0x%04x sent (no response wanted)\n", address.str().c_str(), what, handle);
    const ULONGLONG deadline = GetTickCount64() + 10000;
    VctlCentralTx tx{};
    for (uint32_t gen = ctl.Generation(); !Answered(CentralState(ctl, address), trans_id, &tx); gen = ctl.Generation()) {
        if (GetTickCount64() >= deadline)
            throw Failure(std::string(what) + " of handle " + std::to_string(handle) + ": no response within 10 s");
        ctl.WaitChange(gen, static_cast<DWORD>(deadline - GetTickCount64()));
    }
    std::printf("%s %s 0x%04x: status 0x%02x, value %s\n", address.str().c_str(), what, handle, tx.status,
                FormatHex(BytesView(tx.value, std::min<size_t>(tx.len, LE_MAX_VALUE))).c_str());
}

void CentralStatus(Controller &ctl, Address address)
{
    VctlCentral c = CentralState(ctl, address);
    std::printf("%s received %u value(s), confirmed %u indication(s), %u response(s) accepted, %u refused\n",
                address.str().c_str(), c.received, c.confirmed, c.responses, c.refused);
    for (uint32_t i = 0; i < VCTL_CENTRAL_KEEP && i < c.received; ++i) {
        const BytesView value(c.last[i].value, std::min<size_t>(c.last[i].len, LE_MAX_VALUE));
        std::printf("  %s 0x%04x %s\n", c.last[i].kind == VCTL_KIND_INDICATION ? "indication  " : "notification",
                    c.last[i].handle, FormatHex(value).c_str());
    }
}

void SimCentral(const std::string &addr_text, const std::string &action, const std::vector<std::string> &args,
                bool no_response)
{
    const Address address = AddressArg(addr_text);
    Controller ctl;
    if (action == "connect" || action == "disconnect") {
        if (action == "connect")
            AddSimDevice(ctl, address, VCTL_DEV_CENTRAL, AttrWriter{});
        VctlLink link{};
        PutBda(link.bda, address);
        link.connected = action == "connect";
        Expect(ctl.Request(VCTL_SET_LINK, &link, sizeof link), "setting the link", address);
        return (void)std::printf("central %s %sed\n", address.str().c_str(), action.c_str());
    }
    if (action == "status")
        return CentralStatus(ctl, address);
    const bool write = action == "write";
    if (args.size() != (write ? 2u : 1u))
        throw UsageError("sim central ADDR " + action + (write ? " HANDLE VALUE" : " HANDLE"));
    CentralRequest(ctl, address, write ? VCTL_CENTRAL_WRITE : VCTL_CENTRAL_READ, HandleArg(args[0]),
                   write ? BytesArg(args[1]) : std::vector<uint8_t>{}, !no_response);
}

// ---- sim loopback ----

// The local services the controller holds, as a simulated device's database:
// declarations as over the air, values and descriptors empty (their reads go
// to the serving application).
AttrWriter MirrorLocalDb(Controller &ctl)
{
    std::vector<uint8_t> out(sizeof(VctlLocalDbHeader) + 4096 * sizeof(VctlLocalAttr));
    uint32_t all = 0;
    DWORD got = 0;
    Check("reading the local services", ctl.Request(VCTL_GET_LOCAL_DB, &all, sizeof all, out.data(), out.size(), &got));
    VctlLocalDbHeader h;
    std::memcpy(&h, out.data(), sizeof h);
    AttrWriter w;
    for (uint32_t i = 0; i < h.count; ++i) {
        VctlLocalAttr a;
        std::memcpy(&a, out.data() + sizeof h + i * sizeof a, sizeof a);
        w.handle = a.handle;
        if (a.kind == VCTL_LOCAL_SERVICE)
            w.SetEnd(w.Add(a.flag ? 0x2800 : 0x2801, UuidBytes(a.uuid)), a.end_handle);
        else if (a.kind == VCTL_LOCAL_CHAR_DECL)
            w.Add(0x2803, CharDeclaration(a.properties, a.ref, a.uuid));
        else if (a.kind != VCTL_LOCAL_INCLUDE)
            w.Add(a.uuid, {});
    }
    return w;
}

void SimLoopback(const std::string &addr_text)
{
    const Address address = AddressArg(addr_text);
    Controller ctl;
    AttrWriter w = MirrorLocalDb(ctl);
    if (!w.count)
        throw Failure("the controller holds no local services (start qorgatt serve FILE.json first)");
    AddSimDevice(ctl, address, VCTL_DEV_LOOPBACK | VCTL_DEV_AUTO_CONNECT, w);
    std::printf("loopback device %s added: the local services' %u attribute(s), served by their owner\n",
                address.str().c_str(), w.count);
}

void Add(CLI::App &app)
{
    // Each subcommand owns its arguments: subcommands chain in one run.
    struct Args {
        std::string addr, handle, value, action;
        std::vector<std::string> rest;
        bool indicate = false, no_response = false;
        unsigned count = 1;
    };
    CLI::App *sim = app.get_subcommand("sim");
    auto n = std::make_shared<Args>();
    CLI::App *notify = sim->add_subcommand("notify", "A simulated peripheral pushes a value of HANDLE to us");
    AddAddress(notify, n->addr);
    notify->add_option("HANDLE", n->handle, "its attribute handle, e.g. 0x0d")->required();
    notify->add_option("VALUE", n->value, "hex bytes (default: the attribute's stored value)");
    notify->add_flag("--indicate", n->indicate, "an indication instead of a notification");
    notify->add_option("--count", n->count, "how many times")->check(CLI::Range(1, 1000));
    Chain(notify, n, [](const Args &a) { SimNotify(a.addr, a.handle, a.value, a.indicate, a.count); });

    auto c = std::make_shared<Args>();
    CLI::App *central = sim->add_subcommand("central", "A simulated central: connect, read or write our local "
                                                       "services, disconnect; status shows what it received");
    AddAddress(central, c->addr);
    central->add_option("ACTION", c->action, "connect, read HANDLE, write HANDLE VALUE, status, disconnect")
        ->required()
        ->check(CLI::IsMember({"connect", "read", "write", "status", "disconnect"}));
    central->add_option("ARGS", c->rest, "HANDLE [VALUE]");
    central->add_flag("--no-response", c->no_response, "a write command: no response wanted");
    Chain(central, c, [](const Args &a) { SimCentral(a.addr, a.action, a.rest, a.no_response); });

    auto l = std::make_shared<Args>();
    CLI::App *loopback = sim->add_subcommand("loopback", "A device at ADDR that mirrors the local services served by "
                                                         "another process, for client and pairing runs against them");
    AddAddress(loopback, l->addr);
    Chain(loopback, l, [](const Args &a) { SimLoopback(a.addr); });
}

const Group kGroup(10, Add);

} // namespace

} // namespace qorgatt
