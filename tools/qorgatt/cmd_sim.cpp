// sim: drives the virtual controller through its test-control interface, for
// hardware-free runs. Nothing else in the tool uses this interface.
#include <cstdio>
#include <cstring>
#include <memory>

#include "description.h"
#include "sim.h"
#include "store/uuid.h"

namespace qorgatt {

Controller::Controller()
{
    h_ = CreateFileA(ZOREROVA_DEVICE_NAME, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h_ == INVALID_HANDLE_VALUE)
        throw Failure("cannot open the virtual controller " + std::string(ZOREROVA_DEVICE_NAME) + ": " +
                      CodeText(GetLastError()) + " (is it running? scripts/controller.sh start)");
}

Controller::~Controller() { CloseHandle(h_); }

DWORD Controller::Request(uint32_t code, const void *in, size_t in_len, void *out, size_t out_len, DWORD *returned,
                          DWORD wait_ms)
{
    Event done;
    OVERLAPPED ov{};
    ov.hEvent = done.Handle();
    DWORD bytes = 0, err = ERROR_SUCCESS;
    if (!DeviceIoControl(h_, code, const_cast<void *>(in), static_cast<DWORD>(in_len), out,
                         static_cast<DWORD>(out_len), &bytes, &ov)) {
        err = GetLastError();
        if (err == ERROR_IO_PENDING && !done.Wait(wait_ms))
            CancelIo(h_);
        if (err == ERROR_IO_PENDING)
            err = GetOverlappedResult(h_, &ov, &bytes, TRUE) ? ERROR_SUCCESS : GetLastError();
    }
    if (returned)
        *returned = bytes;
    return err;
}

uint32_t Controller::Generation()
{
    VctlStats stats{};
    Check("reading the controller's statistics", Request(VCTL_GET_STATS, nullptr, 0, &stats, sizeof stats));
    return stats.generation;
}

void Controller::WaitChange(uint32_t generation, DWORD ms)
{
    uint32_t now = 0;
    Request(VCTL_WAIT_CHANGE, &generation, sizeof generation, &now, sizeof now, nullptr, ms);
}

void PutBda(uint8_t bda[6], Address address)
{
    for (int i = 0; i < 6; ++i)
        bda[i] = static_cast<uint8_t>(address.value() >> (40 - 8 * i));
}

LeUuid ToLeUuid(const Uuid &u) { return NarrowGuid(u.guid(), BaseRule::Data1Fits16); }

std::vector<uint8_t> UuidBytes(const LeUuid &u) { return std::vector<uint8_t>(u.value, u.value + u.len); }

std::vector<uint8_t> CharDeclaration(uint8_t properties, uint16_t value_handle, const LeUuid &uuid)
{
    uint8_t decl[3 + sizeof uuid.value] = {properties, static_cast<uint8_t>(value_handle),
                                           static_cast<uint8_t>(value_handle >> 8)};
    size_t len = uuid.len == 16 ? 16 : 2;
    std::memcpy(decl + 3, uuid.value, len);
    return std::vector<uint8_t>(decl, decl + 3 + len);
}

size_t AttrWriter::Add(const LeUuid &type, const std::vector<uint8_t> &value)
{
    VctlAttr a{};
    a.handle = handle++;
    a.type = type;
    a.value_len = static_cast<uint16_t>(value.size());
    size_t at = bytes.size();
    const uint8_t *p = reinterpret_cast<const uint8_t *>(&a);
    bytes.insert(bytes.end(), p, p + sizeof a);
    bytes.insert(bytes.end(), value.begin(), value.end());
    ++count;
    return at;
}

void AttrWriter::SetEnd(size_t at, uint16_t end) { std::memcpy(&bytes[at + offsetof(VctlAttr, end_handle)], &end, 2); }

void AddSimDevice(Controller &ctl, Address address, uint32_t flags, const AttrWriter &attrs)
{
    VctlDevice dev{};
    PutBda(dev.bda, address);
    dev.flags = flags;
    dev.attr_count = attrs.count;
    std::vector<uint8_t> in(reinterpret_cast<uint8_t *>(&dev), reinterpret_cast<uint8_t *>(&dev) + sizeof dev);
    in.insert(in.end(), attrs.bytes.begin(), attrs.bytes.end());
    Check("adding the simulated device", ctl.Request(VCTL_ADD_DEVICE, in.data(), in.size()));
}

namespace {

// ---- sim add ----

void WriteService(AttrWriter &w, const ServiceDesc &s)
{
    size_t decl = w.Add(s.secondary ? 0x2801 : 0x2800, UuidBytes(ToLeUuid(s.uuid)));
    for (const CharacteristicDesc &c : s.characteristics) {
        LeUuid type = ToLeUuid(c.uuid);
        w.Add(0x2803, CharDeclaration(c.properties, static_cast<uint16_t>(w.handle + 1), type));
        w.Add(type, c.value);
        for (const DescriptorDesc &d : c.descriptors)
            w.Add(ToLeUuid(d.uuid), d.value);
    }
    w.SetEnd(decl, static_cast<uint16_t>(w.handle - 1));
}

void SimAdd(const std::string &path)
{
    Description d = LoadDescription(path);
    if (!d.address)
        throw UsageError(path + ": \"address\" is missing");
    AttrWriter w;
    for (const ServiceDesc &s : d.services)
        WriteService(w, s);
    Controller ctl;
    AddSimDevice(ctl, *d.address,
                 d.connect == "auto" ? VCTL_DEV_AUTO_CONNECT : d.connect == "refuse" ? VCTL_DEV_REFUSE_CONNECT : 0, w);
    std::printf("simulated device %s added: %zu service(s), %u attribute(s)\n", d.address->str().c_str(),
                d.services.size(), w.count);
}

// ---- sim link ----

void SimLink(const std::string &state, const std::string &addr_text)
{
    VctlLink link{};
    const Address address = AddressArg(addr_text);
    PutBda(link.bda, address);
    link.connected = state == "up";
    Controller ctl;
    DWORD err = ctl.Request(VCTL_SET_LINK, &link, sizeof link);
    if (err == ERROR_NOT_FOUND || err == ERROR_FILE_NOT_FOUND)
        throw Failure("no simulated device " + address.str() + " (add one with: qorgatt sim add FILE.json)");
    Check("setting the link", err);
    std::printf("link to %s %s\n", address.str().c_str(), state.c_str());
}

// ---- sim log ----

const char *CodeName(uint32_t code)
{
    static const struct {
        uint32_t code;
        const char *name;
    } kNames[] = {
        {ZOREROVA_GATT_REGISTER, "register"},          {ZOREROVA_GATT_DEREGISTER, "deregister"},
        {ZOREROVA_GATT_CONNECT, "connect"},            {ZOREROVA_GATT_CANCEL_CONNECT, "cancel-connect"},
        {ZOREROVA_GATTC_DISCOVER, "discover"},         {ZOREROVA_GATTC_READ, "read"},
        {ZOREROVA_GATTC_WRITE, "write"},               {ZOREROVA_GATTC_CONFIRM, "confirm"},
        {ZOREROVA_GATTS_CREATE_SERVICE, "create-service"}, {ZOREROVA_GATTS_ADD_INCLUDE, "add-include"},
        {ZOREROVA_GATTS_ADD_CHAR, "add-characteristic"}, {ZOREROVA_GATTS_ADD_DESCR, "add-descriptor"},
        {ZOREROVA_GATTS_DELETE_SERVICE, "delete-service"}, {ZOREROVA_GATTS_START_SERVICE, "start-service"},
        {ZOREROVA_GATTS_INDICATION, "indication"},     {ZOREROVA_GATTS_NOTIFICATION, "notification"},
        {ZOREROVA_GATTS_SEND_RSP, "send-response"},
    };
    for (const auto &n : kNames)
        if (n.code == code)
            return n.name;
    return "other";
}

void SimLog(bool json)
{
    Controller ctl;
    std::vector<uint8_t> buffer(sizeof(VctlLogHeader) + 64 * sizeof(VctlLogEntry));
    Json list = Json::array();
    for (VctlLogQuery q{0};;) {
        DWORD got = 0;
        Check("reading the request log", ctl.Request(VCTL_GET_LOG, &q, sizeof q, buffer.data(), buffer.size(), &got));
        VctlLogHeader h;
        std::memcpy(&h, buffer.data(), sizeof h);
        for (uint32_t i = 0; i < h.count; ++i) {
            VctlLogEntry e;
            std::memcpy(&e, buffer.data() + sizeof h + i * sizeof e, sizeof e);
            char code[12];
            std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(e.code));
            const BytesView in(e.in, std::min<uint32_t>(e.in_len, VCTL_LOG_MAX_IN));
            list.push_back({{"seq", e.seq}, {"request", CodeName(e.code)}, {"code", code}, {"channel", e.channel},
                            {"status", e.status}, {"in", FormatHex(in)}});
            q.first = e.seq + 1;
        }
        if (h.count == 0 || q.first >= h.total)
            break;
    }
    if (json)
        return Print(list);
    for (const Json &e : list)
        std::printf("%5u %-18s channel %u status 0x%08X  %s\n", e["seq"].get<unsigned>(),
                    e["request"].get<std::string>().c_str(), e["channel"].get<unsigned>(),
                    e["status"].get<unsigned>(), e["in"].get<std::string>().c_str());
    std::printf("%zu request(s) logged\n", list.size());
}

void Add(CLI::App &app)
{
    CLI::App *sim = app.add_subcommand("sim", "Drive the virtual controller (hardware-free runs and tests)");
    sim->require_subcommand(1, 0);

    // Each subcommand owns its arguments: subcommands chain in one run.
    struct Args {
        std::string file, state, addr;
        bool json = false;
    };
    auto f = std::make_shared<Args>();
    CLI::App *add = sim->add_subcommand("add", "Add a simulated remote device described by FILE.json");
    add->add_option("FILE", f->file, "the device description")->required();
    Chain(add, f, [](const Args &a) { SimAdd(a.file); });

    auto l = std::make_shared<Args>();
    CLI::App *set_link = sim->add_subcommand("link", "Connect (up) or disconnect (down) a simulated device now");
    set_link->add_option("STATE", l->state, "up or down")->required()->check(CLI::IsMember({"up", "down"}));
    AddAddress(set_link, l->addr);
    Chain(set_link, l, [](const Args &a) { SimLink(a.state, a.addr); });

    auto g = std::make_shared<Args>();
    CLI::App *log = sim->add_subcommand("log", "Print the requests the controller received since its last reset");
    log->add_flag("--json", g->json, "print JSON");
    Chain(log, g, [](const Args &a) { SimLog(a.json); });
}

const Group kGroup(9, Add);

} // namespace

} // namespace qorgatt
