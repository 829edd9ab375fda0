// A C++ application of QorLeLib: installs a trace sink, registers a client with
// the controller, reads from a device that is not connected in both error
// forms, and parses an address and a UUID.
#include <QorLeLib.hpp>

#include <atomic>
#include <cstdio>

namespace {

std::atomic<int> trace_lines{0};

} // namespace

int main()
{
    qorle::set_trace([](std::string_view) { ++trace_lines; });
    qorle::Client client;
    std::printf("qorle::Client registered: %s\n", client ? "yes" : "no");
    const qorle::Address sensor = qorle::Address::parse("00:1a:7d:da:71:13").value();
    std::error_code ec;
    client.read(sensor, {0x180D, 0x2A38}, ec);
    std::printf("read of %s -> %s\n", sensor.str().c_str(), qorle::message(ec).c_str());
    try {
        client.read(sensor, {0x180D, 0x2A38});
    } catch (const std::system_error &e) {
        std::printf("thrown: %s\n", e.what());
    }
    std::printf("uuid %s is %s\n", qorle::Uuid::parse("0x180D")->str().c_str(), qorle::Uuid(0x180D).name());
    qorle::set_trace({});
    std::printf("trace lines seen: %d\n", trace_lines.load());
    return ec.value() == ERROR_NOT_CONNECTED && trace_lines > 0 ? 0 : 1;
}
