// The tool's application registration and its callbacks.
#include "session.h"

#include <atomic>
#include <cctype>

namespace qorgatt {

namespace {

// The attribute callback carries no context: it reaches the one session of
// the process through this.
std::atomic<Session *> g_session{nullptr};

const GUID kToolApp = {0x51F0A7E2, 0x8C3D, 0x4B6A, {0x9E, 0x15, 0x0D, 0x7C, 0x2B, 0x4A, 0x9F, 0x30}};

void WINAPI OnConnect(PVOID context, PLE_ADDRESS address, DWORD connected)
{
    auto *s = static_cast<Session *>(context);
    if (s->on_connect)
        s->on_connect(address->ullLong, connected != 0);
}

void WINAPI OnComplete(ULONGLONG context, DWORD status, PLE_VALUE value)
{
    Session *s = g_session;
    if (s && s->on_complete)
        s->on_complete(context, status, *value);
}

DWORD WINAPI OnAttribute(PLE_ADDRESS address, GUID *service, DWORD service_instance, GUID *characteristic,
                         DWORD char_instance, GUID *descriptor, DWORD, DWORD type, PLE_VALUE value)
{
    Session *s = g_session;
    if (!s || !s->on_attribute)
        return 0;
    return s->on_attribute(
        {address->ullLong, *service, service_instance, *characteristic, char_instance, *descriptor, type, value});
}

} // namespace

void Session::Register(ULONGLONG filter)
{
    LE_ADDRESS address;
    address.ullLong = filter;
    GUID app = kToolApp;
    g_session = this;
    DWORD err = QorGattRegister(&address, &app, OnConnect, OnComplete, OnAttribute, this, &reg_);
    if (err != ERROR_SUCCESS) {
        g_session = nullptr;
        Check("QorGattRegister", err);
    }
}

Session::~Session()
{
    g_session = nullptr;
    if (reg_)
        QorGattDeregister(reg_);
}

std::string ValueText(const uint8_t *bytes, size_t n)
{
    std::string text = FormatHex(bytes, n);
    bool printable = n > 0;
    for (size_t i = 0; i < n; ++i)
        printable = printable && std::isprint(bytes[i]);
    if (printable)
        text += "  \"" + std::string(reinterpret_cast<const char *>(bytes), n) + "\"";
    return n ? text : "(empty)";
}

void AddTargetOptions(CLI::App *cmd, Target &target)
{
    cmd->add_option("SERVICE", target.service, "service UUID")->required()->check(kUuid);
    cmd->add_option("CHAR", target.characteristic, "characteristic UUID")->required()->check(kUuid);
    cmd->add_option("--service-instance", target.service_instance, "which of several services with this UUID (0: first)");
    cmd->add_option("--char-instance", target.char_instance, "which of several characteristics with this UUID (0: first)");
}

} // namespace qorgatt
