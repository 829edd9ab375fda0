// The client role, values: read, write, watch.
#include <cstdio>
#include <cstring>
#include <memory>

#include "explain.h"
#include "store_view.h"
#include "value_format.h"

namespace qorgatt {

namespace {

// Each subcommand owns its arguments: subcommands chain in one run.
struct Args {
    std::string addr, value, format;
    Target target;
    bool no_wait = false, indicate = false, json = false;
    unsigned count = 0;
};

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
        return FormatUuid(characteristic) + (has_descriptor ? "/" + FormatUuid(descriptor) : "") + " of " +
               FormatAddress(address);
    }
    // Throws Failure "<what> failed: <code>", with what is missing when nothing was found.
    void Check(const std::string &what, DWORD code, DWORD expected = ERROR_SUCCESS) const
    {
        if (code == expected)
            return;
        const std::string why = code == ERROR_NOT_FOUND ? WhyNotFound(Path()) : "";
        throw Failure(what + " failed: " + CodeText(code) + (why.empty() ? "" : ": " + why));
    }
    AccessPath Path() const
    {
        return {address, service, t.service_instance, characteristic, t.char_instance,
                has_descriptor ? &descriptor : nullptr};
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

// One value as a JSON line: where it comes from, its bytes, and it in the --format.
Json ValueLine(const Access &a, const uint8_t *bytes, size_t n, const std::string &format)
{
    Json line{{"address", FormatAddress(a.address)}, {"service", FormatUuid(a.service)},
              {"characteristic", FormatUuid(a.characteristic)}, {"name", UuidName(a.characteristic)}};
    if (a.has_descriptor)
        line["descriptor"] = FormatUuid(a.descriptor);
    line["hex"] = FormatHex(bytes, n);
    line["value"] = ValueJson(bytes, n, format);
    return line;
}

void Read(const Args &args)
{
    if (args.json)
        NotesToStderr();
    Access a(args.addr, args.target);
    Session &s = Session::Get();
    s.Connect(a.address);
    LE_VALUE v{};
    a.Check("reading " + a.Name(), a.Read(s, v));
    if (args.json)
        return PrintLine(ValueLine(a, v.Value, v.Length, args.format));
    std::printf("%s: %s\n", a.Name().c_str(), FormatValue(v.Value, v.Length, args.format).c_str());
}

void Write(const Args &args)
{
    LE_VALUE v = ValueArg(args.value, args.format);
    Access a(args.addr, args.target);
    Session &s = Session::Get();
    auto completed = std::make_shared<Event>();
    auto status = std::make_shared<DWORD>(ERROR_SUCCESS);
    s.OnComplete([completed, status](ULONGLONG, DWORD st, const LE_VALUE &) {
        *status = st;
        completed->Set();
    });
    s.Connect(a.address);
    const std::string what = "writing " + a.Name();
    // Formatted now: a waiting write gets the completion's value back in `v`.
    const std::string text = FormatValue(v.Value, v.Length, args.format);
    if (!args.no_wait) {
        a.Check(what, a.Write(s, v, true));
        std::printf("%s: written %s\n", a.Name().c_str(), text.c_str());
        return;
    }
    a.Check(what, a.Write(s, v, false), ERROR_IO_PENDING);
    std::printf("%s: sent %s, not waited for\n", a.Name().c_str(), text.c_str());
    if (!completed->Wait(11000))
        throw Failure(what + ": no completion within 11 s");
    std::printf("%s: completion %s\n", a.Name().c_str(), CodeText(*status).c_str());
    a.Check(what, *status);
}

// ---- watch ----

// One notification or indication, as a line of text or JSON.
void ShowEvent(const AttributeEvent &e, const Access &watched, const Args &args)
{
    const char *kind = e.type == QOR_EVENT_INDICATION ? "indication" : "notification";
    if (args.json) {
        Access from = watched;
        from.characteristic = e.characteristic;
        from.service = e.service;
        Json line = ValueLine(from, e.value->Value, e.value->Length, args.format);
        line["event"] = kind;
        return PrintLine(line);
    }
    std::printf("%s %s %s: %s\n", kind, FormatUuid(e.characteristic).c_str(), UuidName(e.characteristic),
                FormatValue(e.value->Value, e.value->Length, args.format).c_str());
}

// A characteristic that cannot notify (or indicate) would be watched for ever.
void CanPush(const Access &a, bool indicate)
{
    const uint8_t wanted = indicate ? kIndicate : kNotify;
    const StoredCharacteristic c = FindStoredCharacteristic(a.address, a.service, a.characteristic);
    if (c.found && !(c.properties & wanted))
        throw Failure("cannot watch " + a.Name() + ": it does not " + (indicate ? "indicate" : "notify") +
                      " (its properties: " + FormatProperties(c.properties) + ")");
}

struct AttributeHook {
    explicit AttributeHook(AttributeHandler h) { Session::Get().OnAttribute(std::move(h)); }
    ~AttributeHook() { Session::Get().OnAttribute(nullptr); }
};

void Watch(const Args &args)
{
    if (args.json)
        NotesToStderr();
    Access a(args.addr, args.target);
    Session &s = Session::Get();
    auto enough = std::make_shared<Event>();
    auto seen = std::make_shared<unsigned>(0);
    AttributeHook hook([enough, seen, a, args](const AttributeEvent &e) -> DWORD {
        if (e.type != QOR_EVENT_NOTIFICATION && e.type != QOR_EVENT_INDICATION)
            return 0;
        ShowEvent(e, a, args);
        if (std::memcmp(&e.characteristic, &a.characteristic, sizeof(GUID)) == 0 && ++*seen == args.count)
            enough->Set();
        return 0;
    });
    s.Connect(a.address);
    Target cccd = args.target;
    cccd.descriptor = "2902";
    Access subscribe(args.addr, cccd);
    LE_VALUE on = ValueArg(args.indicate ? "02 00" : "01 00"), off = ValueArg("00 00");
    CanPush(a, args.indicate);
    subscribe.Check("subscribing to " + a.Name(), subscribe.Write(s, on, true));
    Note("subscribed to %s\nwatching (Ctrl-C ends)\n", a.Name().c_str());
    WaitForInterrupt(INFINITE, args.count ? enough->Handle() : nullptr);
    subscribe.Write(s, off, true);
    Note("%u event(s) from %s\n", *seen, a.Name().c_str());
}

void AddValueOptions(CLI::App *cmd, Args &args, bool json)
{
    cmd->add_option("--format", args.format, kFormatHelp)->check(CLI::IsMember(kFormatNames));
    if (json)
        cmd->add_flag("--json", args.json, "print each value as one JSON object per line");
}

void Add(CLI::App &app)
{
    auto r = std::make_shared<Args>();
    CLI::App *read = app.add_subcommand("read", "Read a characteristic's or a descriptor's value");
    AddAddress(read, r->addr);
    AddTargetOptions(read, r->target);
    read->add_option("DESCR", r->target.descriptor, "descriptor UUID")->check(kUuid);
    AddValueOptions(read, *r, true);
    Chain(read, r, [](const Args &a) { Read(a); });

    auto w = std::make_shared<Args>();
    CLI::App *write = app.add_subcommand("write", "Write a characteristic's (or with --descr a descriptor's) value");
    AddAddress(write, w->addr);
    AddTargetOptions(write, w->target);
    write->add_option("VALUE", w->value, "the value in the --format, e.g. \"01 00\" (hex), up to 512 bytes")
        ->required();
    write->add_option("--descr", w->target.descriptor, "write this descriptor of CHAR instead")->check(kUuid);
    write->add_flag("--no-wait", w->no_wait, "send without waiting; the completion callback reports the outcome");
    AddValueOptions(write, *w, false);
    Chain(write, w, [](const Args &a) { Write(a); });

    auto n = std::make_shared<Args>();
    CLI::App *watch = app.add_subcommand("watch", "Print a characteristic's notifications and indications until Ctrl-C");
    AddAddress(watch, n->addr);
    AddTargetOptions(watch, n->target);
    watch->add_option("--count", n->count, "end after this many events of CHAR");
    watch->add_flag("--indicate", n->indicate, "subscribe to indications instead of notifications");
    AddValueOptions(watch, *n, true);
    Chain(watch, n, [](const Args &a) { Watch(a); });
}

const Group kGroup(3, Add);

} // namespace

} // namespace qorgatt
