#pragma once
// The tool's one application registration (client and server roles) for the
// whole run, so that chained subcommands share it and its connections. Its
// three callbacks are turned into handlers that subcommands install.
#include <mutex>
#include <set>

#include "qorgatt.h"

namespace qorgatt {

struct AttributeEvent {
    ULONGLONG address;
    GUID service;
    DWORD service_instance;
    GUID characteristic;
    DWORD char_instance;
    GUID descriptor;   // all zero for the characteristic itself
    DWORD type;        // QOR_EVENT_*
    PLE_VALUE value;   // a read request's answer goes here
};

using ConnectHandler = std::function<void(ULONGLONG address, bool connected)>;
using CompleteHandler = std::function<void(ULONGLONG context, DWORD status, const LE_VALUE &value)>;
using AttributeHandler = std::function<DWORD(const AttributeEvent &event)>;

class Session {
public:
    // The run's session; registered (every device) on first use. Throws Failure.
    static Session &Get();
    static void End();   // deregisters, at the end of the run

    // Handlers run on the registration's callback thread; each replaces the last.
    void OnConnect(ConnectHandler h);
    void OnComplete(CompleteHandler h);
    void OnAttribute(AttributeHandler h);

    HQORREG Handle() const { return reg_; }
    // Connects and waits (up to 10 s) unless this run is connected already.
    void Connect(ULONGLONG address);
    std::set<ULONGLONG> Connected();

    // Called by the library's callbacks.
    void Connection(ULONGLONG address, bool up);
    void Completion(ULONGLONG context, DWORD status, const LE_VALUE &value);
    DWORD Attribute(const AttributeEvent &e);

private:
    Session() = default;
    std::mutex lock_;
    ConnectHandler on_connect_;
    CompleteHandler on_complete_;
    AttributeHandler on_attribute_;
    std::set<ULONGLONG> connected_;
    HQORREG reg_ = nullptr;
};

LE_ADDRESS Le(ULONGLONG address);

// Text of a value: hex bytes, and the text when every byte is printable.
std::string ValueText(const uint8_t *bytes, size_t n);
// A value argument in a --format (default hex), up to 512 bytes; UsageError otherwise.
LE_VALUE ValueArg(const std::string &text, const std::string &format = "");

// The (service, characteristic, descriptor) address of a remote value.
struct Target {
    std::string service, characteristic, descriptor;
    unsigned service_instance = 0, char_instance = 0;
};
// Adds SERVICE CHAR and the instance options to a subcommand.
void AddTargetOptions(CLI::App *cmd, Target &target);

} // namespace qorgatt
