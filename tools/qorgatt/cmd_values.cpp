// The client role, values: read, write, watch.
#include <atomic>
#include <cstdio>
#include <memory>
#include <optional>

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

// A remote value: a characteristic's, or one of its descriptors'.
struct Access {
    Address address;
    qorle::CharacteristicRef ref;
    std::optional<Uuid> descriptor;

    Access(const std::string &addr_text, const Target &t)
        : address(AddressArg(addr_text)),
          ref{UuidArg(t.service), UuidArg(t.characteristic), t.service_instance, t.char_instance}
    {
        if (!t.descriptor.empty())
            descriptor = UuidArg(t.descriptor);
    }
    std::string Name() const
    {
        return ref.characteristic.str() + (descriptor ? "/" + descriptor->str() : "") + " of " + address.str();
    }
    // Throws Failure "<what> failed: <code>", with what is missing when nothing was found.
    void Check(const std::string &what, const std::error_code &ec) const
    {
        if (!ec)
            return;
        const std::string why = ec.value() == ERROR_NOT_FOUND ? WhyNotFound({address, ref, descriptor}) : "";
        throw Failure(what + " failed: " + CodeText(ec) + (why.empty() ? "" : ": " + why));
    }
    Bytes Read(qorle::Client &c, std::error_code &ec) const
    {
        if (descriptor)
            return c.read_descriptor(address, ref, *descriptor, ec);
        return c.read(address, ref, ec);
    }
    void Write(qorle::Client &c, BytesView value, std::error_code &ec) const
    {
        if (descriptor)
            return c.write_descriptor(address, ref, *descriptor, value, ec);
        c.write(address, ref, value, ec);
    }
    // Sends without waiting: `done` gets the outcome.
    void Send(qorle::Client &c, BytesView value, std::function<void(std::error_code)> done, std::error_code &ec) const
    {
        if (descriptor)
            return c.write_descriptor(address, ref, *descriptor, value, std::move(done), ec);
        c.write(address, ref, value, std::move(done), ec);
    }
};

// One value as a JSON line: where it comes from, its bytes, and it in the --format.
Json ValueLine(const Access &a, BytesView value, const std::string &format)
{
    Json line{{"address", a.address.str()}, {"service", a.ref.service.str()},
              {"characteristic", a.ref.characteristic.str()}, {"name", a.ref.characteristic.name()}};
    if (a.descriptor)
        line["descriptor"] = a.descriptor->str();
    line["hex"] = FormatHex(value);
    line["value"] = ValueJson(value, format);
    return line;
}

void Read(const Args &args)
{
    if (args.json)
        NotesToStderr();
    const Access a(args.addr, args.target);
    Session &s = Session::Get();
    s.Connect(a.address);
    std::error_code ec;
    const Bytes v = a.Read(s.Client(), ec);
    a.Check("reading " + a.Name(), ec);
    if (args.json)
        return PrintLine(ValueLine(a, v, args.format));
    std::printf("%s: %s\n", a.Name().c_str(), FormatValue(v, args.format).c_str());
}

void Write(const Args &args)
{
    const Bytes v = ParseValue(args.value, args.format);
    const Access a(args.addr, args.target);
    Session &s = Session::Get();
    s.Connect(a.address);
    const std::string what = "writing " + a.Name(), text = FormatValue(v, args.format);
    std::error_code ec;
    if (!args.no_wait) {
        a.Write(s.Client(), v, ec);
        a.Check(what, ec);
        std::printf("%s: written %s\n", a.Name().c_str(), text.c_str());
        return;
    }
    auto completed = std::make_shared<Event>();
    auto status = std::make_shared<std::error_code>();
    a.Send(s.Client(), v, [completed, status](std::error_code st) {
        *status = st;
        completed->Set();
    }, ec);
    a.Check(what, ec);
    std::printf("%s: sent %s, not waited for\n", a.Name().c_str(), text.c_str());
    if (!completed->Wait(11000))
        throw Failure(what + ": no completion within 11 s");
    std::printf("%s: completion %s\n", a.Name().c_str(), CodeText(*status).c_str());
    a.Check(what, *status);
}

// ---- watch ----

// One notification or indication, as a line of text or JSON. A value that
// does not fit --format is said on its line, and the watch goes on.
void ShowEvent(const qorle::Notification &n, const Access &watched, const Args &args)
{
    const char *kind = n.indication ? "indication" : "notification";
    const Uuid &c = n.characteristic.characteristic;
    try {
        if (args.json) {
            Access from = watched;
            from.ref = n.characteristic;
            Json line = ValueLine(from, n.value, args.format);
            line["event"] = kind;
            return PrintLine(line);
        }
        std::printf("%s %s %s: %s\n", kind, c.str().c_str(), c.name(), FormatValue(n.value, args.format).c_str());
    } catch (const Failure &e) {
        std::printf("%s %s %s: %s\n", kind, c.str().c_str(), c.name(), e.what());
    }
}

// A characteristic that cannot notify (or indicate) would be watched for ever.
void CanPush(const Access &a, bool indicate)
{
    const uint8_t wanted = indicate ? qorle::props::indicate : qorle::props::notify;
    const StoredCharacteristic c = FindStoredCharacteristic(a.address, a.ref.service, a.ref.characteristic);
    if (c.found && !(c.properties & wanted))
        throw Failure("cannot watch " + a.Name() + ": it does not " + (indicate ? "indicate" : "notify") +
                      " (its properties: " + FormatProperties(c.properties) + ")");
}

void Watch(const Args &args)
{
    if (args.json)
        NotesToStderr();
    const Access a(args.addr, args.target);
    Session &s = Session::Get();
    s.Connect(a.address);
    CanPush(a, args.indicate);
    auto enough = std::make_shared<Event>();
    auto seen = std::make_shared<std::atomic<unsigned>>(0);
    auto show = [enough, seen, a, args](const qorle::Notification &n) {
        ShowEvent(n, a, args);
        if (n.characteristic.characteristic == a.ref.characteristic && ++*seen == args.count)
            enough->Set();
    };
    std::error_code ec;
    s.Client().subscribe(a.address, a.ref, show, args.indicate, ec);
    Access cccd = a;   // a subscription is a write of the client configuration descriptor
    cccd.descriptor = Uuid(0x2902);
    cccd.Check("subscribing to " + a.Name(), ec);
    Note("subscribed to %s\nwatching (Ctrl-C ends)\n", a.Name().c_str());
    WaitForInterrupt(INFINITE, args.count ? enough->Handle() : nullptr);
    s.Client().unsubscribe(a.address, a.ref, ec);
    Note("%u event(s) from %s\n", seen->load(), a.Name().c_str());
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
