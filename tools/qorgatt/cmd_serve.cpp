// The server role: serve FILE.json defines and starts local services from a
// description, answers remote reads from the described values, keeps what
// remote clients write, and pushes value changes given on stdin.
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "description.h"
#include "value_format.h"

namespace qorgatt {

namespace {

// The permissions of a characteristic's value, from its properties.
uint16_t Permissions(uint8_t properties)
{
    using namespace qorle;
    const bool readable = properties & props::read;
    const bool writable = properties & (props::write_without_response | props::write);
    return static_cast<uint16_t>((readable ? perms::read : 0) | (writable ? perms::write : 0));
}

// The described services, served: their values answer reads and take writes.
class Served {
public:
    explicit Served(Description d) : desc_(std::move(d)) {}
    void Start();
    void Push(const std::string &line);

private:
    struct Local {
        CharacteristicDesc *desc;
        uint16_t value_handle;
    };
    qorle::ServiceBuilder Builder(ServiceDesc &s, uint32_t instance);
    qorle::ReadHandler Reader(const Bytes &value);
    qorle::WriteHandler Writer(Bytes &value);
    void Show(const char *kind, const qorle::Request &r, const Bytes &value);
    void Connection(Address address, bool up);

    Description desc_;
    std::mutex lock_;   // values and connections: the callback thread and the stdin thread
    std::set<Address> connected_;
    std::vector<Local> locals_;
    std::optional<qorle::Server> server_;   // last: it ends (and its handlers stop) first
};

void Served::Show(const char *kind, const qorle::Request &r, const Bytes &value)
{
    const Uuid &which = r.descriptor ? *r.descriptor : r.characteristic;
    std::printf("%s request from %s: %s %s %s\n", kind, r.peer.str().c_str(), which.str().c_str(),
                *kind == 'r' ? "->" : "<-", ValueText(value).c_str());
}

qorle::ReadHandler Served::Reader(const Bytes &value)
{
    return [this, &value](const qorle::Request &r) -> qorle::ReadResult {
        std::lock_guard<std::mutex> hold(lock_);
        Show("read", r, value);
        return value;
    };
}

qorle::WriteHandler Served::Writer(Bytes &value)
{
    return [this, &value](const qorle::Request &r) -> uint8_t {
        std::lock_guard<std::mutex> hold(lock_);
        value = r.value.to_bytes();
        Show("write", r, value);
        return 0;
    };
}

qorle::ServiceBuilder Served::Builder(ServiceDesc &s, uint32_t instance)
{
    qorle::ServiceBuilder b(s.uuid, !s.secondary, instance);
    for (CharacteristicDesc &c : s.characteristics) {
        b.characteristic(c.uuid, c.properties, Permissions(c.properties), Reader(c.value), Writer(c.value));
        for (DescriptorDesc &d : c.descriptors)
            b.descriptor(d.uuid, qorle::perms::read | qorle::perms::write, Reader(d.value), Writer(d.value));
    }
    return b;
}

void Served::Connection(Address address, bool up)
{
    std::lock_guard<std::mutex> hold(lock_);
    if (up)
        connected_.insert(address);
    else
        connected_.erase(address);
    std::printf("%s %s\n", address.str().c_str(), up ? "connected" : "disconnected");
}

void Served::Start()
{
    qorle::Server::Options options;
    options.on_connect = [this](Address a, bool up) { Connection(a, up); };
    std::error_code ec;
    server_.emplace(std::move(options), ec);
    Check("registering the server", ec);
    for (size_t i = 0; i < desc_.services.size(); ++i) {
        ServiceDesc &s = desc_.services[i];
        uint32_t instance = 0;   // among the earlier services of its UUID
        for (size_t j = 0; j < i; ++j)
            instance += desc_.services[j].uuid == s.uuid;
        const qorle::LocalService local = server_->add(Builder(s, instance), ec);
        Check("adding service " + s.uuid.str(), ec);
        for (size_t k = 0; k < s.characteristics.size(); ++k) {
            const CharacteristicDesc &c = s.characteristics[k];
            locals_.push_back({&s.characteristics[k], local.value_handles[k]});
            std::printf("  characteristic %s %s: value handle 0x%04x\n", c.uuid.str().c_str(), c.uuid.name(),
                        local.value_handles[k]);
        }
        server_->start(local, ec);
        Check("starting service " + s.uuid.str(), ec);
        std::printf("service %s %s started (handle 0x%04x, %zu characteristic(s))\n", s.uuid.str().c_str(),
                    s.uuid.name(), local.handle, s.characteristics.size());
    }
}

// "notify CHAR HEX" or "indicate CHAR HEX": the new value goes to every
// connected device.
void Served::Push(const std::string &line)
{
    char kind[16] = {}, uuid_text[40] = {};
    int used = 0;
    std::optional<Uuid> uuid;
    Bytes bytes;
    if (std::sscanf(line.c_str(), "%15s %39s %n", kind, uuid_text, &used) < 2 ||
        (std::strcmp(kind, "notify") && std::strcmp(kind, "indicate")) || !(uuid = Uuid::parse(uuid_text)) ||
        !ParseHex(line.substr(used), &bytes) || bytes.size() > QOR_MAX_VALUE) {
        std::printf("? expected: notify|indicate CHAR HEX, e.g. notify 2a37 00 48\n");
        return;
    }
    std::set<Address> targets;
    uint16_t handle = 0;
    {
        std::lock_guard<std::mutex> hold(lock_);
        targets = connected_;
        for (size_t i = 0; i < locals_.size() && !handle; ++i)
            if (locals_[i].desc->uuid == *uuid) {
                handle = locals_[i].value_handle;
                locals_[i].desc->value = bytes;
            }
    }
    if (!handle)
        return (void)std::printf("? no local characteristic %s\n", uuid_text);
    if (targets.empty())
        std::printf("%s %s: no device connected\n", kind, uuid_text);
    for (Address a : targets) {
        std::error_code ec;
        if (kind[0] == 'i')
            server_->indicate(a, handle, bytes, ec);
        else
            server_->notify(a, handle, bytes, ec);
        std::printf("%s %s to %s: %s\n", kind, uuid_text, a.str().c_str(), CodeText(ec).c_str());
    }
}

void Serve(const std::string &path)
{
    Served served(LoadDescription(path));
    served.Start();
    std::printf("serving; stdin lines \"notify|indicate CHAR HEX\" push values; end of input or Ctrl-C stops\n");
    // Read with the system call, not the C runtime: a runtime read blocked on
    // stdin would hold the stream lock that the exit after Ctrl-C needs.
    auto input_ended = std::make_shared<Event>();
    std::thread([&served, input_ended] {
        std::string pending;
        char buf[512];
        DWORD got = 0;
        while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buf, sizeof buf, &got, nullptr) && got) {
            pending.append(buf, got);
            for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1))
                served.Push(pending.substr(0, end));
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
