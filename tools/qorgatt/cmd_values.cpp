// The client role, values: read, write, watch.
#include <cstdio>
#include <cstring>
#include <memory>

#include "session.h"

namespace qorgatt {

namespace {

// ---- read and write ----

struct Access {
    ULONGLONG address;
    LE_ADDRESS le;
    GUID service, characteristic, descriptor;
    bool has_descriptor;
    Target t;

    Access(const std::string &addr_text, const Target &target)
        : address(AddressArg(addr_text)), le(Le(address)), service(UuidArg(target.service)),
          characteristic(UuidArg(target.characteristic)), descriptor(UuidArg(target.descriptor)),
          has_descriptor(!target.descriptor.empty()), t(target)
    {
    }
    std::string Name() const
    {
        return t.characteristic + (has_descriptor ? "/" + t.descriptor : "") + " of " + FormatAddress(address);
    }
    DWORD Read(Session &s, LE_VALUE &v)
    {
        if (has_descriptor)
            return QorGattReadDescriptor(s.Handle(), &le, &service, t.service_instance, &characteristic,
                                         t.char_instance, &descriptor, 0, &v, TRUE, 0);
        return QorGattReadCharacteristic(s.Handle(), &le, &service, t.service_instance, &characteristic,
                                         t.char_instance, 0, &v, TRUE, 0);
    }
    DWORD Write(Session &s, LE_VALUE &v, bool wait)
    {
        if (has_descriptor)
            return QorGattWriteDescriptor(s.Handle(), &le, &service, t.service_instance, &characteristic,
                                          t.char_instance, &descriptor, 0, &v, wait, 1);
        return QorGattWriteCharacteristic(s.Handle(), &le, &service, t.service_instance, &characteristic,
                                          t.char_instance, 0, &v, wait, 1);
    }
};

void Read(const std::string &addr_text, const Target &target)
{
    Access a(addr_text, target);
    Session &s = Session::Get();
    s.Connect(a.address);
    LE_VALUE v{};
    Check(("reading " + a.Name()).c_str(), a.Read(s, v));
    std::printf("%s: %s\n", a.Name().c_str(), ValueText(v.Value, v.Length).c_str());
}

void Write(const std::string &addr_text, const Target &target, const std::string &hex, bool no_wait)
{
    LE_VALUE v = ValueArg(hex);
    Access a(addr_text, target);
    Session &s = Session::Get();
    auto completed = std::make_shared<Event>();
    auto status = std::make_shared<DWORD>(ERROR_SUCCESS);
    s.OnComplete([completed, status](ULONGLONG, DWORD st, const LE_VALUE &) {
        *status = st;
        completed->Set();
    });
    s.Connect(a.address);
    const std::string what = "writing " + a.Name();
    const std::string text = ValueText(v.Value, v.Length);   // a waiting write gets the completion's value back
    if (!no_wait) {
        Check(what.c_str(), a.Write(s, v, true));
        std::printf("%s: written %s\n", a.Name().c_str(), text.c_str());
        return;
    }
    Check(what.c_str(), a.Write(s, v, false), ERROR_IO_PENDING);
    std::printf("%s: sent %s, not waited for\n", a.Name().c_str(), text.c_str());
    if (!completed->Wait(11000))
        throw Failure(what + ": no completion within 11 s");
    std::printf("%s: completion %s\n", a.Name().c_str(), CodeText(*status).c_str());
    Check(what.c_str(), *status);
}

// ---- watch ----

void Watch(const std::string &addr_text, const Target &target, unsigned count, bool indicate)
{
    Access a(addr_text, target);
    Session &s = Session::Get();
    auto enough = std::make_shared<Event>();
    auto seen = std::make_shared<unsigned>(0);
    const GUID watched = a.characteristic;
    s.OnAttribute([enough, seen, watched, count](const AttributeEvent &e) -> DWORD {
        if (e.type != QOR_EVENT_NOTIFICATION && e.type != QOR_EVENT_INDICATION)
            return 0;
        std::printf("%s %s %s: %s\n", e.type == QOR_EVENT_INDICATION ? "indication" : "notification",
                    FormatUuid(e.characteristic).c_str(), UuidName(e.characteristic),
                    ValueText(e.value->Value, e.value->Length).c_str());
        if (std::memcmp(&e.characteristic, &watched, sizeof(GUID)) == 0 && ++*seen == count)
            enough->Set();
        return 0;
    });
    s.Connect(a.address);
    Target cccd = target;
    cccd.descriptor = "2902";
    Access subscribe(addr_text, cccd);
    LE_VALUE on = ValueArg(indicate ? "02 00" : "01 00"), off = ValueArg("00 00");
    DWORD err = subscribe.Write(s, on, true);
    std::printf("subscribing to %s: %s\n", a.Name().c_str(), CodeText(err).c_str());
    std::printf("watching (Ctrl-C ends)\n");
    WaitForInterrupt(INFINITE, count ? enough->Handle() : nullptr);
    if (err == ERROR_SUCCESS)
        subscribe.Write(s, off, true);
    s.OnAttribute(nullptr);
    std::printf("%u event(s) from %s\n", *seen, a.Name().c_str());
}

void Add(CLI::App &app)
{
    // Each subcommand owns its arguments: subcommands chain in one run.
    struct Args {
        std::string addr, value;
        Target target;
        bool no_wait = false, indicate = false;
        unsigned count = 0;
    };
    auto r = std::make_shared<Args>();
    CLI::App *read = app.add_subcommand("read", "Read a characteristic's or a descriptor's value");
    AddAddress(read, r->addr);
    AddTargetOptions(read, r->target);
    read->add_option("DESCR", r->target.descriptor, "descriptor UUID")->check(kUuid);
    read->callback([r] { Read(r->addr, r->target); });

    auto w = std::make_shared<Args>();
    CLI::App *write = app.add_subcommand("write", "Write a characteristic's (or with --descr a descriptor's) value");
    AddAddress(write, w->addr);
    AddTargetOptions(write, w->target);
    write->add_option("VALUE", w->value, "hex bytes, e.g. \"01 00\"")->required();
    write->add_option("--descr", w->target.descriptor, "write this descriptor of CHAR instead")->check(kUuid);
    write->add_flag("--no-wait", w->no_wait, "send without waiting; the completion callback reports the outcome");
    write->callback([w] { Write(w->addr, w->target, w->value, w->no_wait); });

    auto n = std::make_shared<Args>();
    CLI::App *watch = app.add_subcommand("watch", "Print a characteristic's notifications and indications until Ctrl-C");
    AddAddress(watch, n->addr);
    AddTargetOptions(watch, n->target);
    watch->add_option("--count", n->count, "end after this many events of CHAR");
    watch->add_flag("--indicate", n->indicate, "subscribe to indications instead of notifications");
    watch->callback([n] { Watch(n->addr, n->target, n->count, n->indicate); });
}

const Group kGroup(3, Add);

} // namespace

} // namespace qorgatt
