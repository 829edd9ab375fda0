#pragma once
// The tool's one client registration for the whole run, so that chained
// subcommands share it and its connections.
#include <mutex>
#include <optional>
#include <set>

#include "qorgatt.h"

namespace qorgatt {

using ConnectHandler = std::function<void(Address address, bool connected)>;

class Session {
public:
    // The run's session; registered (every device) on first use. Throws Failure.
    static Session &Get();
    static void End();   // deregisters, at the end of the run

    qorle::Client &Client() { return *client_; }
    // Runs on the registration's callback thread; replaces the last one.
    void OnConnect(ConnectHandler h);
    // Connects and waits (up to 10 s) unless this run is connected already.
    void Connect(Address address);

private:
    Session() = default;
    static Session &Instance();
    void Connection(Address address, bool up);

    std::mutex lock_;
    ConnectHandler on_connect_;
    std::set<Address> connected_;
    std::optional<qorle::Client> client_;
};

// The (service, characteristic, descriptor) address of a remote value.
struct Target {
    std::string service, characteristic, descriptor;
    unsigned service_instance = 0, char_instance = 0;
};
// Adds SERVICE CHAR and the instance options to a subcommand.
void AddTargetOptions(CLI::App *cmd, Target &target);

} // namespace qorgatt
