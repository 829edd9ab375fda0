// The server role: serve FILE.json defines and starts local services from a
// description, answers remote reads from the described values, keeps what
// remote clients write, and pushes value changes given on stdin.
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "description.h"
#include "session.h"

namespace qorgatt {

namespace {

// Attribute permissions given to the driver with each characteristic and descriptor.
constexpr DWORD kPermRead = 0x01;
constexpr DWORD kPermWrite = 0x10;

struct LocalService {
    ServiceDesc desc;
    DWORD instance = 0;
    USHORT handle = 0;
    std::vector<USHORT> char_handles;
};

class Server {
public:
    explicit Server(Description d) : desc_(std::move(d)) {}
    ~Server()
    {
        for (const LocalService &s : services_)
            if (s.handle)
                QorGattDeleteService(s.handle);
    }
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    void Start(Session &session);
    DWORD Answer(const AttributeEvent &e);
    void Push(const std::string &line);

private:
    std::vector<uint8_t> *Find(const AttributeEvent &e);
    USHORT ServiceHandle(const ServiceDesc &s, DWORD instance, HQORREG reg);

    Description desc_;
    std::vector<LocalService> services_;
    std::mutex lock_;   // values: the callback thread and the stdin thread
};

// Handles after the service declaration: a declaration and a value per
// characteristic, and its descriptors (at least one handle).
DWORD HandleCount(const ServiceDesc &s)
{
    DWORD n = 0;
    for (const CharacteristicDesc &c : s.characteristics)
        n += 2 + static_cast<DWORD>(c.descriptors.size());
    return n ? n : 1;
}

DWORD Permissions(uint8_t properties)
{
    return (properties & 0x02 ? kPermRead : 0) | (properties & 0x0C ? kPermWrite : 0);
}

USHORT Server::ServiceHandle(const ServiceDesc &s, DWORD instance, HQORREG reg)
{
    GUID uuid = s.uuid;
    USHORT hs = 0;
    Check("QorGattCreateService",
          QorGattCreateService(reg, &uuid, instance, HandleCount(s), s.secondary ? 0 : 1, &hs));
    for (const CharacteristicDesc &c : s.characteristics) {
        GUID cu = c.uuid;
        USHORT hc = 0;
        Check("QorGattAddCharacteristic", QorGattAddCharacteristic(hs, &cu, 0, Permissions(c.properties), c.properties, &hc));
        services_.back().char_handles.push_back(hc);
        std::printf("  characteristic %s %s: value handle 0x%04x\n", FormatUuid(c.uuid).c_str(), UuidName(c.uuid), hc);
        for (const DescriptorDesc &d : c.descriptors) {
            GUID du = d.uuid;
            BYTE block[22] = {};
            USHORT hd = 0;
            Check("QorGattAddDescriptor", QorGattAddDescriptor(hs, &du, kPermRead | kPermWrite, block, &hd));
        }
    }
    return hs;
}

void Server::Start(Session &session)
{
    for (const ServiceDesc &s : desc_.services) {
        LocalService local;
        local.desc = s;
        for (const LocalService &earlier : services_)
            local.instance += std::memcmp(&earlier.desc.uuid, &s.uuid, sizeof(GUID)) == 0;
        services_.push_back(local);
        services_.back().handle = ServiceHandle(s, local.instance, session.Handle());
        Check("QorGattStartService", QorGattStartService(services_.back().handle));
        std::printf("service %s %s started (handle 0x%04x, %zu characteristic(s))\n", FormatUuid(s.uuid).c_str(),
                    UuidName(s.uuid), services_.back().handle, s.characteristics.size());
    }
}

bool Same(const GUID &a, const GUID &b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The value a request is aimed at, by UUIDs and instances; null if none.
std::vector<uint8_t> *Server::Find(const AttributeEvent &e)
{
    const GUID none{};
    for (LocalService &s : services_) {
        if (!Same(s.desc.uuid, e.service) || s.instance != e.service_instance)
            continue;
        DWORD instance = 0;
        for (CharacteristicDesc &c : s.desc.characteristics) {
            if (!Same(c.uuid, e.characteristic) || instance++ != e.char_instance)
                continue;
            if (Same(e.descriptor, none))
                return &c.value;
            for (DescriptorDesc &d : c.descriptors)
                if (Same(d.uuid, e.descriptor))
                    return &d.value;
        }
    }
    return nullptr;
}

DWORD Server::Answer(const AttributeEvent &e)
{
    constexpr DWORD kAttributeNotFound = 0x0A;
    std::lock_guard<std::mutex> hold(lock_);
    std::vector<uint8_t> *value = Find(e);
    const GUID &which = Same(e.descriptor, GUID{}) ? e.characteristic : e.descriptor;
    const char *kind = e.type == QOR_EVENT_READ_REQUEST ? "read" : "write";
    if (!value) {
        std::printf("%s request from %s for unknown %s\n", kind, FormatAddress(e.address).c_str(), FormatUuid(which).c_str());
        return kAttributeNotFound;
    }
    if (e.type == QOR_EVENT_READ_REQUEST) {
        e.value->Length = static_cast<USHORT>(value->size());
        std::memcpy(e.value->Value, value->data(), value->size());
    } else {
        value->assign(e.value->Value, e.value->Value + e.value->Length);
    }
    std::printf("%s request from %s: %s %s %s\n", kind, FormatAddress(e.address).c_str(), FormatUuid(which).c_str(),
                e.type == QOR_EVENT_READ_REQUEST ? "->" : "<-", ValueText(value->data(), value->size()).c_str());
    return ERROR_SUCCESS;
}

// "notify CHAR HEX" or "indicate CHAR HEX": the new value goes to every
// connected device.
void Server::Push(const std::string &line)
{
    char kind[16] = {}, uuid_text[40] = {};
    int used = 0;
    GUID uuid{};
    std::vector<uint8_t> bytes;
    if (std::sscanf(line.c_str(), "%15s %39s %n", kind, uuid_text, &used) < 2 ||
        (std::strcmp(kind, "notify") && std::strcmp(kind, "indicate")) || !ParseUuid(uuid_text, &uuid) ||
        !ParseHex(line.substr(used), &bytes) || bytes.size() > QOR_MAX_VALUE) {
        std::printf("? expected: notify|indicate CHAR HEX, e.g. notify 2a37 00 48\n");
        return;
    }
    LE_VALUE v{};
    v.Length = static_cast<USHORT>(bytes.size());
    std::memcpy(v.Value, bytes.data(), bytes.size());
    std::set<ULONGLONG> targets = Session::Get().Connected();
    USHORT hc = 0;
    {
        std::lock_guard<std::mutex> hold(lock_);
        for (LocalService &s : services_)
            for (size_t i = 0; i < s.desc.characteristics.size() && !hc; ++i)
                if (Same(s.desc.characteristics[i].uuid, uuid)) {
                    hc = s.char_handles[i];
                    s.desc.characteristics[i].value = bytes;
                }
    }
    if (!hc)
        return (void)std::printf("? no local characteristic %s\n", uuid_text);
    if (targets.empty())
        std::printf("%s %s: no device connected\n", kind, uuid_text);
    for (ULONGLONG a : targets) {
        LE_ADDRESS le = Le(a);
        DWORD err = QorGattCharValueChanged(&le, hc, kind[0] == 'i', &v);
        std::printf("%s %s to %s: %s\n", kind, uuid_text, FormatAddress(a).c_str(), CodeText(err).c_str());
    }
}

void Serve(const std::string &path)
{
    Server server(LoadDescription(path));
    Session &s = Session::Get();
    struct Unhook {
        ~Unhook() { Session::Get().OnAttribute(nullptr); }
    } unhook;
    s.OnConnect([](ULONGLONG a, bool up) {
        std::printf("%s %s\n", FormatAddress(a).c_str(), up ? "connected" : "disconnected");
    });
    s.OnAttribute([&server](const AttributeEvent &e) -> DWORD {
        if (e.type != QOR_EVENT_READ_REQUEST && e.type != QOR_EVENT_WRITE_REQUEST)
            return 0;
        return server.Answer(e);
    });
    server.Start(s);
    std::printf("serving; stdin lines \"notify|indicate CHAR HEX\" push values; end of input or Ctrl-C stops\n");
    // Read with the system call, not the C runtime: a runtime read blocked on
    // stdin would hold the stream lock that the exit after Ctrl-C needs.
    auto input_ended = std::make_shared<Event>();
    std::thread([&server, input_ended] {
        std::string pending;
        char buf[512];
        DWORD got = 0;
        while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buf, sizeof buf, &got, nullptr) && got) {
            pending.append(buf, got);
            for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1))
                server.Push(pending.substr(0, end));
        }
        input_ended->Set();
    }).detach();
    WaitForInterrupt(INFINITE, input_ended->Handle());
    std::printf("stopping: services deleted, registration ended\n");
}

void Add(CLI::App &app)
{
    struct Args {
        std::string file;
    };
    auto f = std::make_shared<Args>();
    CLI::App *serve = app.add_subcommand("serve", "Define, start and serve local services described by FILE.json");
    serve->add_option("FILE", f->file, "the service description")->required();
    Chain(serve, f, [](const Args &a) { Serve(a.file); });
}

const Group kGroup(4, Add);

} // namespace

} // namespace qorgatt
