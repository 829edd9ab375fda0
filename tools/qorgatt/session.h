#pragma once
// One application registration of the tool (client and server roles), with
// its three callbacks turned into handlers. A process holds at most one.
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

class Session {
public:
    // Handlers run on the registration's callback thread; set them before Register.
    std::function<void(ULONGLONG address, bool connected)> on_connect;
    std::function<void(ULONGLONG context, DWORD status, const LE_VALUE &value)> on_complete;
    std::function<DWORD(const AttributeEvent &event)> on_attribute;

    Session() = default;
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // Registers for events of `filter` (0: every device); throws Failure.
    void Register(ULONGLONG filter = 0);
    HQORREG Handle() const { return reg_; }

private:
    HQORREG reg_ = nullptr;
};

LE_ADDRESS Le(ULONGLONG address);
// Connects and waits (up to 10 s); throws Failure.
void ConnectDevice(Session &s, ULONGLONG address);

// Text of a value: hex bytes, and the text when every byte is printable.
std::string ValueText(const uint8_t *bytes, size_t n);

// The (service, characteristic, descriptor) address of a remote value.
struct Target {
    std::string service, characteristic, descriptor;
    unsigned service_instance = 0, char_instance = 0;
};
// Adds SERVICE CHAR and the instance options to a subcommand.
void AddTargetOptions(CLI::App *cmd, Target &target);


} // namespace qorgatt
