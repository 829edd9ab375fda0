// The tool's application registration and its callbacks.
#include "session.h"
#include "value_format.h"

#include <atomic>
#include <cctype>
#include <cstring>

namespace qorgatt {

namespace {

const GUID kToolApp = {0x51F0A7E2, 0x8C3D, 0x4B6A, {0x9E, 0x15, 0x0D, 0x7C, 0x2B, 0x4A, 0x9F, 0x30}};

// Registered sessions; the callbacks reach the one of the run through it.
std::atomic<Session *> g_session{nullptr};

void WINAPI ConnectCb(PVOID, PLE_ADDRESS address, DWORD connected)
{
    if (Session *s = g_session)
        s->Connection(address->ullLong, connected != 0);
}

void WINAPI CompleteCb(ULONGLONG context, DWORD status, PLE_VALUE value)
{
    if (Session *s = g_session)
        s->Completion(context, status, *value);
}

DWORD WINAPI AttributeCb(PLE_ADDRESS address, GUID *service, DWORD service_instance, GUID *characteristic,
                         DWORD char_instance, GUID *descriptor, DWORD, DWORD type, PLE_VALUE value)
{
    Session *s = g_session;
    return s ? s->Attribute({address->ullLong, *service, service_instance, *characteristic, char_instance,
                             *descriptor, type, value})
             : 0;
}

} // namespace

Session &Session::Get()
{
    static Session session;
    if (!session.reg_) {
        LE_ADDRESS any = Le(0);
        GUID app = kToolApp;
        g_session = &session;
        DWORD err = QorGattRegister(&any, &app, ConnectCb, CompleteCb, AttributeCb, nullptr, &session.reg_);
        if (err != ERROR_SUCCESS) {
            g_session = nullptr;
            Check("QorGattRegister", err);
        }
    }
    return session;
}

void Session::End()
{
    Session *s = g_session.exchange(nullptr);
    if (s && s->reg_)
        QorGattDeregister(s->reg_);
}

void Session::OnConnect(ConnectHandler h)
{
    std::lock_guard<std::mutex> hold(lock_);
    on_connect_ = std::move(h);
}

void Session::OnComplete(CompleteHandler h)
{
    std::lock_guard<std::mutex> hold(lock_);
    on_complete_ = std::move(h);
}

void Session::OnAttribute(AttributeHandler h)
{
    std::lock_guard<std::mutex> hold(lock_);
    on_attribute_ = std::move(h);
}

std::set<ULONGLONG> Session::Connected()
{
    std::lock_guard<std::mutex> hold(lock_);
    return connected_;
}

void Session::Connection(ULONGLONG address, bool up)
{
    ConnectHandler h;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (up)
            connected_.insert(address);
        else
            connected_.erase(address);
        h = on_connect_;
    }
    if (h)
        h(address, up);
}

void Session::Completion(ULONGLONG context, DWORD status, const LE_VALUE &value)
{
    CompleteHandler h;
    {
        std::lock_guard<std::mutex> hold(lock_);
        h = on_complete_;
    }
    if (h)
        h(context, status, value);
}

DWORD Session::Attribute(const AttributeEvent &e)
{
    AttributeHandler h;
    {
        std::lock_guard<std::mutex> hold(lock_);
        h = on_attribute_;
    }
    return h ? h(e) : 0;
}

LE_ADDRESS Le(ULONGLONG address)
{
    LE_ADDRESS a;
    a.ullLong = address;
    return a;
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

LE_VALUE ValueArg(const std::string &text, const std::string &format)
{
    std::vector<uint8_t> bytes = ParseValue(text, format);
    LE_VALUE v{};
    v.Length = static_cast<USHORT>(bytes.size());
    std::memcpy(v.Value, bytes.data(), bytes.size());
    return v;
}

void AddTargetOptions(CLI::App *cmd, Target &target)
{
    cmd->add_option("SERVICE", target.service, "service UUID")->required()->check(kUuid);
    cmd->add_option("CHAR", target.characteristic, "characteristic UUID")->required()->check(kUuid);
    cmd->add_option("--service-instance", target.service_instance, "which of several services with this UUID (0: first)");
    cmd->add_option("--char-instance", target.char_instance, "which of several characteristics with this UUID (0: first)");
}

} // namespace qorgatt
