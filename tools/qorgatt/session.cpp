// The tool's client registration and its connections.
#include "session.h"

namespace qorgatt {

namespace {

const GUID kToolApp = {0x51F0A7E2, 0x8C3D, 0x4B6A, {0x9E, 0x15, 0x0D, 0x7C, 0x2B, 0x4A, 0x9F, 0x30}};

std::string ConnectHint(DWORD err)
{
    if (err == ERROR_INTERNAL_ERROR)
        return ": the device refused the connection, or another link event ended the wait";
    if (err == ERROR_TIMEOUT)
        return ": the device did not connect within 10 s (out of range, or not connectable)";
    return "";
}

} // namespace

Session &Session::Instance()
{
    static Session session;
    return session;
}

Session &Session::Get()
{
    Session &session = Instance();
    if (!session.client_) {
        qorle::Client::Options options;
        options.app = Uuid(kToolApp);
        options.on_connect = [](Address a, bool up) { Instance().Connection(a, up); };
        std::error_code ec;
        session.client_.emplace(std::move(options), ec);
        if (ec)
            session.client_.reset();
        Check("registering the application", ec);
    }
    return session;
}

void Session::End() { Instance().client_.reset(); }

void Session::OnConnect(ConnectHandler h)
{
    std::lock_guard<std::mutex> hold(lock_);
    on_connect_ = std::move(h);
}

void Session::Connection(Address address, bool up)
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

void Session::Connect(Address address)
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (connected_.count(address))
            return;
    }
    std::error_code ec;
    client_->connect(address, ec);
    if (ec)
        throw Failure("connecting to " + address.str() + " failed: " + CodeText(ec) +
                      ConnectHint(static_cast<DWORD>(ec.value())));
    std::lock_guard<std::mutex> hold(lock_);
    connected_.insert(address);
    Note("connected to %s\n", address.str().c_str());
}

void AddTargetOptions(CLI::App *cmd, Target &target)
{
    cmd->add_option("SERVICE", target.service, "service UUID")->required()->check(kUuid);
    cmd->add_option("CHAR", target.characteristic, "characteristic UUID")->required()->check(kUuid);
    cmd->add_option("--service-instance", target.service_instance,
                    "which of several services with this UUID (0: first)");
    cmd->add_option("--char-instance", target.char_instance,
                    "which of several characteristics with this UUID (0: first)");
}

} // namespace qorgatt
