#pragma once
// The GATT server: local services built and published through a registration
// of their own, remote reads and writes answered by callables, values pushed.

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "qorle/callbacks.hpp"
#include "qorle/client.hpp"
#include "qorle/errors.hpp"
#include "qorle/values.hpp"

namespace qorle {

// Characteristic properties, one byte as the declaration carries them.
namespace props {
constexpr uint8_t broadcast = 0x01, read = 0x02, write_without_response = 0x04, write = 0x08, notify = 0x10,
                  indicate = 0x20, signed_write = 0x40, extended = 0x80;
} // namespace props

// Attribute permissions of a value or descriptor (16 bits).
namespace perms {
constexpr uint16_t read = 0x0001, read_encrypted = 0x0002, read_authenticated = 0x0004, write = 0x0010,
                   write_encrypted = 0x0020, write_authenticated = 0x0040, signed_write = 0x0080,
                   signed_write_authenticated = 0x0100;
} // namespace perms

// ATT statuses a request handler may answer with.
enum class AttStatus : uint8_t {
    success = 0x00,
    invalid_handle = 0x01,
    read_not_permitted = 0x02,
    write_not_permitted = 0x03,
    invalid_pdu = 0x04,
    insufficient_authentication = 0x05,
    request_not_supported = 0x06,
    invalid_offset = 0x07,
    insufficient_authorization = 0x08,
    prepare_queue_full = 0x09,
    attribute_not_found = 0x0A,
    attribute_not_long = 0x0B,
    insufficient_encryption_key_size = 0x0C,
    invalid_attribute_value_length = 0x0D,
    unlikely_error = 0x0E,
    insufficient_encryption = 0x0F,
    unsupported_group_type = 0x10,
    insufficient_resources = 0x11,
};

// A remote client's read or write of a local value or descriptor.
struct Request {
    Address peer;
    Uuid service;
    uint32_t service_instance = 0;   // among this Server's services of that UUID
    Uuid characteristic;
    uint32_t char_instance = 0;      // among the service's characteristics of that UUID
    std::optional<Uuid> descriptor;  // set when the request is for a descriptor
    BytesView value;                 // a write's value, living during the call
};

// What a read handler answers: the value (at most 512 bytes; a longer one is
// answered invalid_attribute_value_length) or an ATT status.
class ReadResult {
public:
    ReadResult(Bytes value) : value_(std::move(value)) {}   // NOLINT(google-explicit-constructor)
    ReadResult(AttStatus status) : status_(status) {}        // NOLINT(google-explicit-constructor)
    AttStatus status() const noexcept { return status_; }
    const Bytes &value() const noexcept { return value_; }

private:
    Bytes value_;
    AttStatus status_ = AttStatus::success;
};

// Request handlers run on the Server's callback thread, one at a time, under
// the rules of the Client's callables (client.hpp): they may call operations,
// even of this Server (a waiting one holds up later requests), and must not
// throw. A read handler returns the value or a status; a write handler
// returns the ATT status of the answer (0 success; a write command gets none).
// An attribute without a handler is answered read_not_permitted or
// write_not_permitted.
using ReadHandler = std::function<ReadResult(const Request &request)>;
using WriteHandler = std::function<uint8_t(const Request &request)>;

// A service added to a Server: its handle (the one start and remove take), the
// value handles of its characteristics (the ones notify and indicate take) and
// the handles of its descriptors, each in the order the builder added them.
struct LocalService {
    uint16_t handle = 0;
    std::vector<uint16_t> value_handles;
    std::vector<uint16_t> descriptor_handles;
};

// The description of one local service, given to Server::add. It counts the
// handles the service needs itself. A descriptor belongs to the characteristic
// added last; a characteristic that notifies or indicates needs its own
// 0x2902 descriptor (perms::read | perms::write) with handlers that keep the
// client's two bytes. Copies share the handlers.
class ServiceBuilder {
public:
    explicit ServiceBuilder(Uuid uuid, bool primary = true, uint32_t instance = 0)
        : uuid_(uuid), primary_(primary), instance_(instance)
    {
    }
    ServiceBuilder &include(const LocalService &service)
    {
        steps_.push_back(Step{Step::kInclude, Uuid(), 0, 0, service.handle, {}, {}});
        return *this;
    }
    ServiceBuilder &characteristic(Uuid uuid, uint8_t properties, uint16_t permissions, ReadHandler read = {},
                                   WriteHandler write = {})
    {
        steps_.push_back(Step{Step::kCharacteristic, uuid, properties, permissions, 0, shared(std::move(read)),
                              shared(std::move(write))});
        return *this;
    }
    ServiceBuilder &descriptor(Uuid uuid, uint16_t permissions, ReadHandler read = {}, WriteHandler write = {})
    {
        steps_.push_back(
            Step{Step::kDescriptor, uuid, 0, permissions, 0, shared(std::move(read)), shared(std::move(write))});
        return *this;
    }
    // The handles the service reserves after its declaration: 1 per include,
    // 2 per characteristic, 1 per descriptor.
    uint16_t handles() const noexcept
    {
        unsigned n = 0;
        for (const Step &s : steps_)
            n += s.kind == Step::kCharacteristic ? 2 : 1;
        return static_cast<uint16_t>(n);
    }

private:
    friend class Server;
    struct Step {
        enum Kind { kInclude, kCharacteristic, kDescriptor } kind;
        Uuid uuid;
        uint8_t properties;
        uint16_t permissions;
        uint16_t included;   // kInclude: the included service's handle
        std::shared_ptr<ReadHandler> read;
        std::shared_ptr<WriteHandler> write;
    };
    template <typename F>
    static std::shared_ptr<F> shared(F f)
    {
        return f ? std::make_shared<F>(std::move(f)) : nullptr;
    }
    Uuid uuid_;
    bool primary_;
    uint32_t instance_;
    std::vector<Step> steps_;
};

struct ServerOptions {
    // The application UUID of the Server's registration; each Server of a
    // process needs its own.
    Uuid app = GUID{0x7A3C1E53, 0x4D1B, 0x4F8E, {0x9A, 0x61, 0x2C, 0x5E, 0x8B, 0x13, 0xD0, 0x47}};
    ConnectHandler on_connect;   // as a Client's (client.hpp)
};

namespace detail {

// The part of a Server that its callback thread reaches: the local services
// in the order the library's table holds them, with their handlers.
class ServerState final : public Registration {
public:
    struct Attribute {
        Uuid uuid;
        std::shared_ptr<ReadHandler> read;
        std::shared_ptr<WriteHandler> write;
    };
    struct Char : Attribute {
        std::vector<Attribute> descriptors;
    };
    struct Entry {
        Uuid uuid;
        uint16_t handle = 0;   // 0: refused by the driver, yet in the library's table
        std::vector<Char> characteristics;
    };

    explicit ServerState(ConnectHandler on_connect) : on_connect_(std::move(on_connect)) {}

    void connected(const LE_ADDRESS &address, DWORD connected) override
    {
        if (on_connect_)
            on_connect_(Address(address.ullLong), connected != 0);
    }
    void completed(uint32_t, DWORD, const LE_VALUE &) override {}
    DWORD attribute(const AttributeEvent &e) override
    {
        if (e.type != QOR_EVENT_READ_REQUEST && e.type != QOR_EVENT_WRITE_REQUEST)
            return 0;
        const Uuid descriptor = *e.descriptor;
        Request request{Address(e.address->ullLong), *e.service, e.service_instance, *e.characteristic,
                        e.char_instance, std::nullopt,
                        BytesView(e.value->Value, std::min<size_t>(e.value->Length, QOR_MAX_VALUE))};
        if (descriptor != Uuid())
            request.descriptor = descriptor;
        const Attribute handlers = find(request);
        if (e.type == QOR_EVENT_WRITE_REQUEST)
            return handlers.write ? (*handlers.write)(request) : static_cast<DWORD>(AttStatus::write_not_permitted);
        if (!handlers.read)
            return static_cast<DWORD>(AttStatus::read_not_permitted);
        const ReadResult result = (*handlers.read)(request);
        if (result.status() != AttStatus::success)
            return static_cast<DWORD>(result.status());
        if (!fill(*e.value, result.value()))
            return static_cast<DWORD>(AttStatus::invalid_attribute_value_length);
        return 0;
    }

    void add(Entry entry)
    {
        Locked hold(lock_);
        entries_.push_back(std::move(entry));
    }
    void remove(uint16_t handle) noexcept
    {
        Entry gone{};   // its handlers are destroyed after the lock is left
        Locked hold(lock_);
        const auto it =
            std::find_if(entries_.begin(), entries_.end(), [&](const Entry &e) { return e.handle == handle; });
        if (it == entries_.end())
            return;
        gone = std::move(*it);
        entries_.erase(it);
    }
    std::vector<uint16_t> handles()
    {
        Locked hold(lock_);
        std::vector<uint16_t> list;
        for (const Entry &e : entries_)
            if (e.handle)
                list.push_back(e.handle);
        return list;
    }

private:
    // The n-th of the list whose uuid is `uuid`.
    template <typename List>
    static auto nth(List &list, const Uuid &uuid, uint32_t n) -> decltype(&list.front())
    {
        for (auto &item : list)
            if (item.uuid == uuid && n-- == 0)
                return &item;
        return nullptr;
    }
    // The request's handlers, as the library's table lookup names the attribute.
    Attribute find(const Request &r)
    {
        Locked hold(lock_);
        Entry *service = nth(entries_, r.service, r.service_instance);
        Char *c = service ? nth(service->characteristics, r.characteristic, r.char_instance) : nullptr;
        if (!c)
            return Attribute{};
        if (!r.descriptor)
            return *c;
        Attribute *d = nth(c->descriptors, *r.descriptor, 0);
        return d ? *d : Attribute{};
    }

    const ConnectHandler on_connect_;
    Lock lock_;
    std::vector<Entry> entries_;
};

} // namespace detail

// A server registration (move-only): the services it adds belong to it.
// Destroying it deletes the services it still holds, then deregisters it,
// under the rules of a Client's destruction (client.hpp). Empty after a move
// or a failed registration: each operation then fails with ERROR_INVALID_HANDLE.
class Server {
public:
    using Options = ServerOptions;

    explicit Server(Options options = {})
    {
        std::error_code ec;
        open(std::move(options), ec);
        detail::throw_if(ec, "qorle::Server::Server");
    }
    Server(Options options, std::error_code &ec) noexcept
    {
        detail::guarded(ec, [&] { open(std::move(options), ec); });
    }
    Server(Server &&other) noexcept = default;
    Server &operator=(Server &&other) noexcept
    {
        if (this != &other) {
            release();
            registration_ = std::move(other.registration_);
        }
        return *this;
    }
    ~Server() { release(); }

    explicit operator bool() const noexcept { return registration_.handle() != nullptr; }
    HQORREG native_handle() const noexcept { return registration_.handle(); }

    // Creates the service with its includes, characteristics and descriptors,
    // in the builder's order; a failure part-way deletes what was made.
    LocalService add(const ServiceBuilder &builder)
    {
        return detail::run("qorle::Server::add", [&](std::error_code &ec) { return add(builder, ec); });
    }
    LocalService add(const ServiceBuilder &builder, std::error_code &ec) noexcept
    {
        return detail::guarded(ec, [&] { return build(builder, ec); });
    }
    // Publishes a service.
    void start(const LocalService &service)
    {
        detail::run("qorle::Server::start", [&](std::error_code &ec) { start(service, ec); });
    }
    void start(const LocalService &service, std::error_code &ec) noexcept
    {
        if (usable(ec))
            detail::status_ok(QorGattStartService(service.handle), ec);
    }
    // Deletes a service.
    void remove(const LocalService &service)
    {
        detail::run("qorle::Server::remove", [&](std::error_code &ec) { remove(service, ec); });
    }
    void remove(const LocalService &service, std::error_code &ec) noexcept
    {
        if (!usable(ec) || !detail::status_ok(QorGattDeleteService(service.handle), ec))
            return;
        state()->remove(service.handle);
    }
    // Pushes a characteristic's new value (at most 512 bytes, else
    // ERROR_INVALID_PARAMETER) to a connected client as a notification.
    void notify(Address peer, uint16_t value_handle, BytesView value)
    {
        detail::run("qorle::Server::notify", [&](std::error_code &ec) { notify(peer, value_handle, value, ec); });
    }
    void notify(Address peer, uint16_t value_handle, BytesView value, std::error_code &ec) noexcept
    {
        change(peer, value_handle, FALSE, value, ec);
    }
    // The same as an indication; waits for the confirmation (up to 10 s).
    void indicate(Address peer, uint16_t value_handle, BytesView value)
    {
        detail::run("qorle::Server::indicate", [&](std::error_code &ec) { indicate(peer, value_handle, value, ec); });
    }
    void indicate(Address peer, uint16_t value_handle, BytesView value, std::error_code &ec) noexcept
    {
        change(peer, value_handle, TRUE, value, ec);
    }

private:
    void open(Options options, std::error_code &ec)
    {
        const bool hears = static_cast<bool>(options.on_connect);
        auto state = std::make_shared<detail::ServerState>(std::move(options.on_connect));
        detail::status_ok(registration_.open(std::move(state), 0, options.app.guid(), hears), ec);
    }
    void release() noexcept
    {
        if (!*this)
            return;
        std::vector<uint16_t> services;
        try {
            services = state()->handles();
        } catch (...) {   // out of memory: they stay with the driver
        }
        for (uint16_t handle : services)
            QorGattDeleteService(handle);
        registration_.close();
    }
    detail::ServerState *state() const noexcept { return registration_.owner<detail::ServerState>(); }
    bool usable(std::error_code &ec) const noexcept { return registration_.usable(ec); }

    LocalService build(const ServiceBuilder &b, std::error_code &ec)
    {
        LocalService made;
        if (!usable(ec))
            return made;
        GUID uuid = b.uuid_.guid();
        USHORT handle = 0;
        const DWORD status = QorGattCreateService(registration_.handle(), &uuid, b.instance_, b.handles(),
                                                  b.primary_ ? 1 : 0, &handle);
        if (status == 4316)   // the library keeps the refused service, which counts for instances
            state()->add(detail::ServerState::Entry{b.uuid_, 0, {}});
        if (!detail::status_ok(status, ec))
            return made;
        made.handle = handle;
        detail::ServerState::Entry entry{b.uuid_, handle, {}};
        for (const ServiceBuilder::Step &step : b.steps_)
            if (!detail::status_ok(add_step(step, made, entry), ec))
                break;
        if (ec) {
            QorGattDeleteService(handle);
            return LocalService();
        }
        state()->add(std::move(entry));
        return made;
    }
    DWORD add_step(const ServiceBuilder::Step &step, LocalService &made, detail::ServerState::Entry &entry)
    {
        GUID uuid = step.uuid.guid();
        USHORT handle = 0;
        switch (step.kind) {
        case ServiceBuilder::Step::kInclude:
            return QorGattAddIncludeService(made.handle, step.included);
        case ServiceBuilder::Step::kCharacteristic: {
            const DWORD status =
                QorGattAddCharacteristic(made.handle, &uuid, 0, step.permissions, step.properties, &handle);
            made.value_handles.push_back(handle);
            entry.characteristics.push_back(detail::ServerState::Char{{step.uuid, step.read, step.write}, {}});
            return status;
        }
        case ServiceBuilder::Step::kDescriptor: {
            BYTE block[22] = {};   // passed through to the driver; no field of it is defined
            const DWORD status = QorGattAddDescriptor(made.handle, &uuid, step.permissions, block, &handle);
            made.descriptor_handles.push_back(handle);
            if (!entry.characteristics.empty())
                entry.characteristics.back().descriptors.push_back({step.uuid, step.read, step.write});
            return status;
        }
        }
        return ERROR_INVALID_PARAMETER;
    }
    void change(Address peer, uint16_t value_handle, DWORD indication, BytesView value, std::error_code &ec) noexcept
    {
        LE_VALUE block{};
        if (!usable(ec) || !detail::status_ok(detail::fill(block, value) ? 0 : ERROR_INVALID_PARAMETER, ec))
            return;
        LE_ADDRESS a = peer.le();
        detail::status_ok(QorGattCharValueChanged(&a, value_handle, indication, &block), ec);
    }

    detail::Registered registration_;
};

} // namespace qorle
