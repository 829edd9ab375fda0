#pragma once
// The GATT client: a registration that connects to devices, lists their stored
// attribute trees, reads and writes values and hears notifications.

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <tuple>
#include <vector>

#include "qorle/callbacks.hpp"
#include "qorle/errors.hpp"
#include "qorle/values.hpp"

namespace qorle {

// A characteristic of a device's tree, by UUIDs and instance numbers (among
// equal UUIDs, 0 is the first): {0x180D, 0x2A38}.
struct CharacteristicRef {
    Uuid service;
    Uuid characteristic;
    uint32_t service_instance = 0;
    uint32_t char_instance = 0;
};

// A notification or indication from a device. `value` lives during the call.
struct Notification {
    Address address;
    CharacteristicRef characteristic;
    bool indication = false;
    uint32_t extra = 0;   // the authentication requirement the driver reported with the value
    BytesView value;
};

// The stored tree of a device, as enumeration lists it.
struct Descriptor {
    Uuid uuid;
    uint16_t handle = 0;
};
struct Characteristic {
    Uuid uuid;
    uint16_t handle = 0;                    // the declaration's handle
    std::optional<uint8_t> properties;      // enumeration does not give these: empty
    std::optional<uint16_t> value_handle;   //   unless the caller fills them
    std::vector<Descriptor> descriptors;
};
struct Service {
    Uuid uuid;
    uint16_t handle = 0;   // the first handle of the service
    std::vector<Characteristic> characteristics;
};

// Callables of a Client. Every one of them runs on the Client's callback
// thread, one at a time, in the order the events arrived; they may call any
// operation of this or another Client (a waiting one holds up this Client's
// later callbacks until it returns), and may destroy or move their own Client:
// the running callable then finishes, and nothing queued after it runs. They
// must not throw (std::terminate).
//
// on_connect: a device of the filter connected (true) or disconnected (false);
// a new Client first hears of every connected device its filter accepts.
using ConnectHandler = std::function<void(Address address, bool connected)>;
// The end of a read that was not waited for: its status (cleared on success)
// and the value read, which lives during the call.
using ReadDone = std::function<void(std::error_code status, BytesView value)>;
// The end of a write that was not waited for.
using WriteDone = std::function<void(std::error_code status)>;
// A notification or indication of a subscribed characteristic; an indication
// is confirmed once the handler has returned.
using NotificationHandler = std::function<void(const Notification &notification)>;

struct ClientOptions {
    Address filter = Address::any();   // only this device's events; any(): every device
    // The application UUID. Two Clients with one UUID cannot both cover a device:
    // give each Client of a process its own.
    Uuid app = GUID{0x7A3C1E52, 0x4D1B, 0x4F8E, {0x9A, 0x61, 0x2C, 0x5E, 0x8B, 0x13, 0xD0, 0x47}};
    ConnectHandler on_connect;
};

namespace detail {

// The part of a Client that its callback thread reaches.
class ClientState final : public Registration {
public:
    explicit ClientState(ConnectHandler on_connect) : on_connect_(std::move(on_connect)) {}

    void connected(const LE_ADDRESS &address, DWORD connected) override
    {
        if (on_connect_)
            on_connect_(Address(address.ullLong), connected != 0);
    }
    void completed(uint32_t key, DWORD status, const LE_VALUE &value) override
    {
        ReadDone done;
        {
            Locked hold(lock_);
            const auto it = pending_.find(key);
            if (it == pending_.end())
                return;
            done = std::move(it->second);
            pending_.erase(it);
        }
        done(code(status), BytesView(value.Value, std::min<size_t>(value.Length, QOR_MAX_VALUE)));
    }
    DWORD attribute(const AttributeEvent &e) override
    {
        if (e.type != QOR_EVENT_NOTIFICATION && e.type != QOR_EVENT_INDICATION)
            return 0;
        Notification n{Address(e.address->ullLong),
                       {*e.service, *e.characteristic, e.service_instance, e.char_instance},
                       e.type == QOR_EVENT_INDICATION,
                       e.extra,
                       BytesView(e.value->Value, std::min<size_t>(e.value->Length, QOR_MAX_VALUE))};
        if (std::shared_ptr<NotificationHandler> handler = subscriber(n.address, n.characteristic))
            (*handler)(n);
        return 0;
    }

    // A completion's key; the completion callable is kept until it runs or is dropped.
    uint32_t expect(ReadDone done)
    {
        Locked hold(lock_);
        const uint32_t key = ++last_key_;
        pending_.emplace(key, std::move(done));
        return key;
    }
    void drop(uint32_t key)
    {
        Locked hold(lock_);
        pending_.erase(key);
    }
    void subscribe(Address address, const CharacteristicRef &c, NotificationHandler handler)
    {
        auto shared = std::make_shared<NotificationHandler>(std::move(handler));
        Locked hold(lock_);
        subscribers_[key(address, c)] = std::move(shared);
    }
    void unsubscribe(Address address, const CharacteristicRef &c)
    {
        std::shared_ptr<NotificationHandler> last;   // destroyed after the lock is left
        Locked hold(lock_);
        const auto it = subscribers_.find(key(address, c));
        if (it == subscribers_.end())
            return;
        last = std::move(it->second);
        subscribers_.erase(it);
    }

private:
    using Key = std::tuple<uint64_t, Uuid, uint32_t, Uuid, uint32_t>;
    static Key key(Address address, const CharacteristicRef &c)
    {
        return Key(address.value(), c.service, c.service_instance, c.characteristic, c.char_instance);
    }
    std::shared_ptr<NotificationHandler> subscriber(Address address, const CharacteristicRef &c)
    {
        Locked hold(lock_);
        const auto it = subscribers_.find(key(address, c));
        return it == subscribers_.end() ? nullptr : it->second;
    }

    const ConnectHandler on_connect_;
    Lock lock_;
    uint32_t last_key_ = 0;
    std::map<uint32_t, ReadDone> pending_;
    std::map<Key, std::shared_ptr<NotificationHandler>> subscribers_;
};

// One attribute of a call, as the read and write exports name it.
struct Target {
    LE_ADDRESS address;
    GUID service;
    GUID characteristic;
    GUID descriptor;
    DWORD service_instance;
    DWORD char_instance;
    Target(Address a, const CharacteristicRef &c, const Uuid &d = Uuid())
        : address(a.le()), service(c.service.guid()), characteristic(c.characteristic.guid()), descriptor(d.guid()),
          service_instance(c.service_instance), char_instance(c.char_instance)
    {
    }
};

// A value block holding `value`; false when the value is too long for one.
inline bool fill(LE_VALUE &block, BytesView value) noexcept
{
    if (value.size() > QOR_MAX_VALUE)
        return false;
    block.Length = static_cast<USHORT>(value.size());
    if (!value.empty())
        std::memcpy(block.Value, value.data(), value.size());
    return true;
}

inline Bytes bytes_of(const LE_VALUE &block)
{
    return Bytes(block.Value, block.Value + std::min<size_t>(block.Length, QOR_MAX_VALUE));
}

} // namespace detail

// A client registration (move-only). Constructing one registers it with the
// library; destroying it deregisters it: none of its callables starts once
// the destructor has begun, and none runs once it has returned (it waits for
// one that is running on another thread, so do not destroy a Client while
// holding what its callables wait for). A moved-from Client, or one whose
// registration failed, is empty: false as a bool, and each operation fails
// with ERROR_INVALID_HANDLE (6).
//
// Each operation has a throwing form and a noexcept form that takes a
// std::error_code & last; the codes are those of the exports (docs/api.md).
class Client {
public:
    using Options = ClientOptions;

    explicit Client(Options options = {})
    {
        std::error_code ec;
        open(std::move(options), ec);
        detail::throw_if(ec, "qorle::Client::Client");
    }
    Client(Options options, std::error_code &ec) noexcept
    {
        detail::guarded(ec, [&] { open(std::move(options), ec); });
    }
    Client(Client &&) noexcept = default;
    Client &operator=(Client &&) noexcept = default;
    ~Client() = default;

    explicit operator bool() const noexcept { return registration_.handle() != nullptr; }
    HQORREG native_handle() const noexcept { return registration_.handle(); }

    // Connects and waits until the device is connected (up to 10 s).
    void connect(Address address)
    {
        detail::run("qorle::Client::connect", [&](std::error_code &ec) { connect(address, ec); });
    }
    void connect(Address address, std::error_code &ec) noexcept { connect_with(address, TRUE, ec); }
    // Sends the connect and returns; on_connect reports the connection.
    void connect_async(Address address)
    {
        detail::run("qorle::Client::connect_async", [&](std::error_code &ec) { connect_async(address, ec); });
    }
    void connect_async(Address address, std::error_code &ec) noexcept { connect_with(address, FALSE, ec); }

    // The device's whole stored tree: services, their characteristics and
    // those's descriptors, in enumeration order (included services are not listed).
    std::vector<Service> services(Address address) const
    {
        return detail::run("qorle::Client::services", [&](std::error_code &ec) { return services(address, ec); });
    }
    std::vector<Service> services(Address address, std::error_code &ec) const noexcept
    {
        return detail::guarded(ec, [&] { return tree(address, ec); });
    }

    // Reads a value and waits for it (up to 10 s).
    Bytes read(Address address, const CharacteristicRef &c)
    {
        return detail::run("qorle::Client::read", [&](std::error_code &ec) { return read(address, c, ec); });
    }
    Bytes read(Address address, const CharacteristicRef &c, std::error_code &ec) noexcept
    {
        return read_with(detail::Target(address, c), false, ec);
    }
    // Sends the read and returns; `done` gets the value.
    void read(Address address, const CharacteristicRef &c, ReadDone done)
    {
        detail::run("qorle::Client::read", [&](std::error_code &ec) { read(address, c, std::move(done), ec); });
    }
    void read(Address address, const CharacteristicRef &c, ReadDone done, std::error_code &ec) noexcept
    {
        start_read(detail::Target(address, c), false, std::move(done), ec);
    }
    Bytes read_descriptor(Address address, const CharacteristicRef &c, const Uuid &descriptor)
    {
        return detail::run("qorle::Client::read_descriptor",
                   [&](std::error_code &ec) { return read_descriptor(address, c, descriptor, ec); });
    }
    Bytes read_descriptor(Address address, const CharacteristicRef &c, const Uuid &descriptor,
                          std::error_code &ec) noexcept
    {
        return read_with(detail::Target(address, c, descriptor), true, ec);
    }
    void read_descriptor(Address address, const CharacteristicRef &c, const Uuid &descriptor, ReadDone done)
    {
        detail::run("qorle::Client::read_descriptor",
            [&](std::error_code &ec) { read_descriptor(address, c, descriptor, std::move(done), ec); });
    }
    void read_descriptor(Address address, const CharacteristicRef &c, const Uuid &descriptor, ReadDone done,
                         std::error_code &ec) noexcept
    {
        start_read(detail::Target(address, c, descriptor), true, std::move(done), ec);
    }

    // Writes a value (at most 512 bytes, else ERROR_INVALID_PARAMETER) and waits
    // for the answer (up to 10 s). With response when the properties allow it.
    void write(Address address, const CharacteristicRef &c, BytesView value)
    {
        detail::run("qorle::Client::write", [&](std::error_code &ec) { write(address, c, value, ec); });
    }
    void write(Address address, const CharacteristicRef &c, BytesView value, std::error_code &ec) noexcept
    {
        write_with(detail::Target(address, c), false, value, ec);
    }
    void write(Address address, const CharacteristicRef &c, BytesView value, WriteDone done)
    {
        detail::run("qorle::Client::write",
                    [&](std::error_code &ec) { write(address, c, value, std::move(done), ec); });
    }
    void write(Address address, const CharacteristicRef &c, BytesView value, WriteDone done,
               std::error_code &ec) noexcept
    {
        start_write(detail::Target(address, c), false, value, std::move(done), ec);
    }
    void write_descriptor(Address address, const CharacteristicRef &c, const Uuid &descriptor, BytesView value)
    {
        detail::run("qorle::Client::write_descriptor",
            [&](std::error_code &ec) { write_descriptor(address, c, descriptor, value, ec); });
    }
    void write_descriptor(Address address, const CharacteristicRef &c, const Uuid &descriptor, BytesView value,
                          std::error_code &ec) noexcept
    {
        write_with(detail::Target(address, c, descriptor), true, value, ec);
    }
    void write_descriptor(Address address, const CharacteristicRef &c, const Uuid &descriptor, BytesView value,
                          WriteDone done)
    {
        detail::run("qorle::Client::write_descriptor",
            [&](std::error_code &ec) { write_descriptor(address, c, descriptor, value, std::move(done), ec); });
    }
    void write_descriptor(Address address, const CharacteristicRef &c, const Uuid &descriptor, BytesView value,
                          WriteDone done, std::error_code &ec) noexcept
    {
        start_write(detail::Target(address, c, descriptor), true, value, std::move(done), ec);
    }

    // Subscribes: routes the characteristic's notifications (or indications) to
    // `handler`, then writes 01 00 (02 00) to its 0x2902 descriptor and waits.
    // A failed write drops the handler again. A second subscribe replaces the handler.
    void subscribe(Address address, const CharacteristicRef &c, NotificationHandler handler, bool indicate = false)
    {
        detail::run("qorle::Client::subscribe",
            [&](std::error_code &ec) { subscribe(address, c, std::move(handler), indicate, ec); });
    }
    void subscribe(Address address, const CharacteristicRef &c, NotificationHandler handler, bool indicate,
                   std::error_code &ec) noexcept
    {
        detail::guarded(ec, [&] { subscribe_with(address, c, std::move(handler), indicate, ec); });
    }
    // Drops the handler, then writes 00 00 to the 0x2902 descriptor and waits.
    void unsubscribe(Address address, const CharacteristicRef &c)
    {
        detail::run("qorle::Client::unsubscribe", [&](std::error_code &ec) { unsubscribe(address, c, ec); });
    }
    void unsubscribe(Address address, const CharacteristicRef &c, std::error_code &ec) noexcept
    {
        detail::guarded(ec, [&] { unsubscribe_with(address, c, ec); });
    }

private:
    static constexpr uint16_t kCccd = 0x2902;

    void open(Options options, std::error_code &ec)
    {
        const bool hears = static_cast<bool>(options.on_connect);
        auto state = std::make_shared<detail::ClientState>(std::move(options.on_connect));
        detail::status_ok(registration_.open(std::move(state), options.filter.value(), options.app.guid(), hears), ec);
    }
    detail::ClientState *state() const noexcept { return registration_.owner<detail::ClientState>(); }
    bool usable(std::error_code &ec) const noexcept { return registration_.usable(ec); }
    ULONGLONG context(uint32_t key) const noexcept
    {
        return static_cast<ULONGLONG>(registration_.generation()) << 32 | key;
    }

    void connect_with(Address address, DWORD wait, std::error_code &ec) noexcept
    {
        if (!usable(ec))
            return;
        LE_ADDRESS a = address.le();
        const DWORD status = QorGattConnect(registration_.handle(), &a, wait);
        detail::status_ok(status == kPending ? ERROR_SUCCESS : status, ec);
    }
    std::vector<Service> tree(Address address, std::error_code &ec) const
    {
        std::vector<Service> services;
        if (!usable(ec))
            return services;
        LE_ADDRESS a = address.le();
        GUID uuid{};
        USHORT handle = 0;
        DWORD status = 0;
        for (DWORD i = 0; (status = QorGattEnumService(&a, i, &uuid, &handle)) == ERROR_SUCCESS; ++i)
            services.push_back(Service{uuid, handle, characteristics(a, handle)});
        detail::status_ok(status == ERROR_NO_MORE_ITEMS ? ERROR_SUCCESS : status, ec);
        return ec ? std::vector<Service>() : services;
    }
    // Past the last characteristic or descriptor, enumeration answers 1359.
    static std::vector<Characteristic> characteristics(LE_ADDRESS &a, USHORT service)
    {
        std::vector<Characteristic> list;
        GUID uuid{};
        USHORT handle = 0;
        for (DWORD i = 0; QorGattEnumCharacteristic(&a, service, i, &uuid, &handle) == ERROR_SUCCESS; ++i)
            list.push_back(Characteristic{uuid, handle, std::nullopt, std::nullopt, descriptors(a, service, handle)});
        return list;
    }
    static std::vector<Descriptor> descriptors(LE_ADDRESS &a, USHORT service, USHORT characteristic)
    {
        std::vector<Descriptor> list;
        GUID uuid{};
        USHORT handle = 0;
        for (DWORD i = 0; QorGattEnumDescriptor(&a, service, characteristic, i, &uuid, &handle) == ERROR_SUCCESS; ++i)
            list.push_back(Descriptor{uuid, handle});
        return list;
    }

    // One read or write export call; the block is the value read or written.
    DWORD call(detail::Target &t, bool descriptor, bool write, LE_VALUE &block, DWORD wait, ULONGLONG ctx) noexcept
    {
        HQORREG h = registration_.handle();
        if (write)
            return descriptor ? QorGattWriteDescriptor(h, &t.address, &t.service, t.service_instance,
                                                       &t.characteristic, t.char_instance, &t.descriptor, 0, &block,
                                                       wait, ctx)
                              : QorGattWriteCharacteristic(h, &t.address, &t.service, t.service_instance,
                                                           &t.characteristic, t.char_instance, 0, &block, wait, ctx);
        return descriptor ? QorGattReadDescriptor(h, &t.address, &t.service, t.service_instance, &t.characteristic,
                                                  t.char_instance, &t.descriptor, 0, &block, wait, ctx)
                          : QorGattReadCharacteristic(h, &t.address, &t.service, t.service_instance,
                                                      &t.characteristic, t.char_instance, 0, &block, wait, ctx);
    }
    Bytes read_with(detail::Target t, bool descriptor, std::error_code &ec) noexcept
    {
        return detail::guarded(ec, [&] {
            LE_VALUE block{};
            if (!usable(ec) || !detail::status_ok(call(t, descriptor, false, block, TRUE, 0), ec))
                return Bytes();
            return detail::bytes_of(block);
        });
    }
    void write_with(detail::Target t, bool descriptor, BytesView value, std::error_code &ec) noexcept
    {
        LE_VALUE block{};
        if (!usable(ec) || !detail::status_ok(detail::fill(block, value) ? 0 : ERROR_INVALID_PARAMETER, ec))
            return;
        detail::status_ok(call(t, descriptor, true, block, TRUE, 0), ec);
    }
    // Sent: ERROR_IO_PENDING, success here; the completion callable then waits
    // for its call. Anything else drops it.
    void start(detail::Target &t, bool descriptor, bool write, LE_VALUE &block, ReadDone done,
               std::error_code &ec) noexcept
    {
        detail::guarded(ec, [&] {
            if (!usable(ec))
                return;
            const uint32_t key = state()->expect(std::move(done));
            const DWORD status = call(t, descriptor, write, block, FALSE, context(key));
            if (status != ERROR_IO_PENDING)
                state()->drop(key);
            detail::status_ok(status == ERROR_IO_PENDING ? ERROR_SUCCESS : status, ec);
        });
    }
    void start_read(detail::Target t, bool descriptor, ReadDone done, std::error_code &ec) noexcept
    {
        LE_VALUE block{};
        start(t, descriptor, false, block, std::move(done), ec);
    }
    void start_write(detail::Target t, bool descriptor, BytesView value, WriteDone done, std::error_code &ec) noexcept
    {
        LE_VALUE block{};
        if (!detail::status_ok(detail::fill(block, value) ? 0 : ERROR_INVALID_PARAMETER, ec))
            return;
        detail::guarded(ec, [&] {
            auto written = std::make_shared<WriteDone>(std::move(done));
            start(t, descriptor, true, block, [written](std::error_code status, BytesView) { (*written)(status); },
                  ec);
        });
    }
    void subscribe_with(Address address, const CharacteristicRef &c, NotificationHandler handler, bool indicate,
                        std::error_code &ec)
    {
        if (!usable(ec))
            return;
        state()->subscribe(address, c, std::move(handler));
        const uint8_t on[2] = {static_cast<uint8_t>(indicate ? 0x02 : 0x01), 0x00};
        write_with(detail::Target(address, c, kCccd), true, BytesView(on, 2), ec);
        if (ec)
            state()->unsubscribe(address, c);
    }
    void unsubscribe_with(Address address, const CharacteristicRef &c, std::error_code &ec)
    {
        if (!usable(ec))
            return;
        state()->unsubscribe(address, c);
        const uint8_t off[2] = {0x00, 0x00};
        write_with(detail::Target(address, c, kCccd), true, BytesView(off, 2), ec);
    }

    detail::Registered registration_;
};

} // namespace qorle
