#pragma once
// What the driver-link tests share: registrations whose callbacks write what
// reached them into the callback journal, import hooks that make CreateEventW,
// CreateFileA fail or count allocations, and the exchanges every case starts with.
// The link layer is tested through its own interface (link/link.h), below the exports.

#include <windows.h>

#include <string>

#include "link/link.h"
#include "scenario.h"

namespace linktest {

using namespace qortest;

// Sixteen registrations and one more, each with its own callbacks. Journal
// entries: "<n> connected <gatt_if> <conn_id> <address> <flag> <record up|down>",
// "<n> complete <conn_id> op=<op> status=<status> handle=0x<handle>[ <value>]",
// "<n> disc <conn_id> type=<type> status=<status>",
// "<n> request <conn_id> trans=0x<trans_id> type=<type> handle=0x<handle>[ <value>]".
enum Without { kNone = 0, kNoRequest = 1, kNoComplete = 2, kNoConnected = 4 };
uint8_t Register(int n, int without = kNone);
// The hex of registration n's identity, as the register request carries it.
std::string Identity(int n);
// Registration n on a closed channel: its register request.
Script FirstRegistration(int n);

// The next on_connected call blocks (on the reader thread) until the event is set.
void BlockNextConnected(HANDLE release);
// Called on the reader thread by every on_connected, after it was journaled.
using ConnectedHook = void (*)(uint8_t gatt_if, uint16_t conn_id, uint8_t connected);
void SetConnectedHook(ConnectedHook hook);

// After `skip` calls that succeed, `count` CreateEventW calls of one thread
// fail with ERROR_NOT_ENOUGH_MEMORY; thread 0: any thread but the arming one.
void FailCreateEvent(DWORD thread, unsigned skip = 0, unsigned count = 1);
void StopFailingCreateEvent();
void FailCreateFile();               // the next CreateFileA of this thread
void CountAllocations(DWORD thread); // malloc, calloc, realloc, HeapAlloc of one thread
long CountedAllocations();

class LinkTest : public ScenarioTest {
protected:
    void TearDown() override;
    // An event record posted to the library channel, then taken and dispatched
    // by the reader (it has sent that slot's read again).
    Script Deliver(const std::string &hex);
    // Waits until the library channel holds `reads` pending reads and no queued
    // event; with 0, until it is closed (only the test's own handle is open).
    Step ChannelHolds(uint32_t reads);
};

} // namespace linktest
