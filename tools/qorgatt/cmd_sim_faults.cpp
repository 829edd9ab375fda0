// sim hold, sim release, sim lose-link: the controller's faults an application
// test needs, events held back and let go, and a disconnection that never comes.
#include <cstdio>
#include <map>
#include <memory>

#include "sim.h"

namespace qorgatt {

namespace {

// The requests whose events may be held, by the names the log prints.
const std::map<std::string, uint32_t> kHoldable = {
    {"connect", ZOREROVA_GATT_CONNECT}, {"discover", ZOREROVA_GATTC_DISCOVER},
    {"read", ZOREROVA_GATTC_READ},      {"write", ZOREROVA_GATTC_WRITE},
};

void SimHold(const std::string &request, unsigned count)
{
    VctlFault fault{};
    fault.code = kHoldable.at(request);
    fault.kind = VCTL_FAULT_HOLD_EVENT;
    fault.count = count;
    Controller ctl;
    Check("arming the hold", ctl.Request(VCTL_ARM_FAULT, &fault, sizeof fault));
    std::printf("the events of the next %u %s request(s) are held until: qorgatt sim release\n", count,
                request.c_str());
}

void SimRelease()
{
    uint32_t released = 0;
    Controller ctl;
    Check("releasing the held events", ctl.Request(VCTL_RELEASE_HELD, nullptr, 0, &released, sizeof released));
    std::printf("released %u held event(s)\n", released);
}

void SimLoseLink(const std::string &addr_text)
{
    VctlAddress a{};
    const Address address = AddressArg(addr_text);
    PutBda(a.bda, address);
    Controller ctl;
    DWORD err = ctl.Request(VCTL_LOSE_LINK, &a, sizeof a);
    if (err == ERROR_NOT_FOUND || err == ERROR_FILE_NOT_FOUND)
        throw Failure("no simulated device " + address.str() + " (add one with: qorgatt sim add FILE.json)");
    Check("losing the link", err);
    std::printf("link to %s lost: no disconnection event was sent\n", address.str().c_str());
}

void Add(CLI::App &app)
{
    CLI::App *sim = app.get_subcommand("sim");
    auto hold = std::make_shared<std::pair<std::string, unsigned>>("", 1);
    CLI::App *h = sim->add_subcommand("hold", "Hold the events of the next REQUEST(s) until sim release");
    h->add_option("REQUEST", hold->first, "connect, discover, read or write")
        ->required()
        ->check(CLI::IsMember({"connect", "discover", "read", "write"}));
    h->add_option("--count", hold->second, "how many requests")->check(CLI::Range(1, 1000));
    h->callback([hold] { SimHold(hold->first, hold->second); });

    sim->add_subcommand("release", "Deliver the held events now")->callback(SimRelease);

    auto addr = std::make_shared<std::string>();
    CLI::App *lose = sim->add_subcommand("lose-link", "Drop a simulated device's link without a disconnection event");
    AddAddress(lose, *addr);
    lose->callback([addr] { SimLoseLink(*addr); });
}

const Group kGroup(11, Add);

} // namespace

} // namespace qorgatt
