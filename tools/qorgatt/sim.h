#pragma once
// The virtual controller's test-control interface, for the sim subcommands
// only: a handle on it, and the attribute records of simulated devices.
#include "qorgatt.h"
#include "vdriver/vctl.h"

namespace qorgatt {

class Controller {
public:
    Controller();   // throws Failure when the controller is not there
    ~Controller();
    Controller(const Controller &) = delete;
    Controller &operator=(const Controller &) = delete;

    // One request; its Windows error code, 0 on success. A request the
    // controller leaves pending is waited for at most `wait_ms`.
    DWORD Request(uint32_t code, const void *in, size_t in_len, void *out = nullptr, size_t out_len = 0,
                  DWORD *returned = nullptr, DWORD wait_ms = 10000);
    // Waits (at most `ms`) until anything the controller counts changes after `generation`.
    void WaitChange(uint32_t generation, DWORD ms);
    uint32_t Generation();

private:
    HANDLE h_;
};

void PutBda(uint8_t bda[6], Address address);
LeUuid ToLeUuid(const Uuid &uuid);
std::vector<uint8_t> UuidBytes(const LeUuid &uuid);
// A characteristic declaration's value: properties, value handle, UUID.
std::vector<uint8_t> CharDeclaration(uint8_t properties, uint16_t value_handle, const LeUuid &uuid);

// Attribute records of a simulated device's database, in handle order.
struct AttrWriter {
    std::vector<uint8_t> bytes;
    uint32_t count = 0;
    uint16_t handle = 1;   // the next record's handle

    size_t Add(uint16_t type, const std::vector<uint8_t> &value) { return Add(ToLeUuid(Uuid(type)), value); }
    size_t Add(const LeUuid &type, const std::vector<uint8_t> &value);
    void SetEnd(size_t at, uint16_t end);
};

// Adds (or replaces) a simulated device.
void AddSimDevice(Controller &ctl, Address address, uint32_t flags, const AttrWriter &attrs);

} // namespace qorgatt
