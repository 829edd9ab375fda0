// Pairing discovery: the pairing component's own registration with the driver
// link, the start of a discovery walk on the last connection it heard of, and
// the end of the walk, which stores the database and reports the outcome.

#include "pairing/pairing.h"

#include <cstring>

#include "api/export.h"
#include "link/discovery.h"
#include "trace/trace.h"

uint8_t pairing_gatt_if = 0;
volatile uint16_t pairing_conn_id = kPairingNoConnection;
volatile ULONGLONG pairing_addr = 0;
PFN_LE_PAIRING_CALLBACK pairing_done_cb = nullptr;
std::atomic<bool> pairing_busy{false};
gatt_callbacks pairing_callbacks = {};

namespace {

// The generation of the channel opening pairing_gatt_if was handed out on.
uint32_t pairing_generation = 0;

// Registering and unregistering change the pairing state one at a time: a call
// that finds another one under way is refused as if that one had already ended
// (it is registered, or it is not).
std::atomic<bool> g_changing{false};

class StateChange {
public:
    StateChange() : held_(!g_changing.exchange(true)) {}
    ~StateChange()
    {
        if (held_)
            g_changing = false;
    }
    StateChange(const StateChange &) = delete;
    StateChange &operator=(const StateChange &) = delete;
    bool Held() const { return held_; }

private:
    bool held_;
};

// 5197C140-76AC-4ECA-A127-40068D8760F2 in its memory layout.
const uint8_t kPairingIdentity[16] = {0x40, 0xC1, 0x97, 0x51, 0xAC, 0x76, 0xCA, 0x4E,
                                      0xA1, 0x27, 0x40, 0x06, 0x8D, 0x87, 0x60, 0xF2};

LeUuid PairingIdentity()
{
    LeUuid identity;
    identity.len = sizeof kPairingIdentity;
    std::memcpy(identity.value, kPairingIdentity, sizeof kPairingIdentity);
    return identity;
}

// The whole database: handles 1 to 0xFFFF.
disc_param WholeDatabase()
{
    disc_param param;
    std::memset(&param, 0, sizeof param);
    param.uuid.len = 2;
    param.s_handle = 1;
    param.e_handle = 0xFFFF;
    return param;
}

// Stores the list the walk built; whether the database is now in the store.
// Once stored (or not to be stored) the list is free for a new discovery to
// release, before the outcome is traced.
bool StoreDiscoveredDatabase(uint8_t status)
{
    LSTATUS err = status == 0 ? LeDeviceDumpDiscoverDbToRegistry() : ERROR_SUCCESS;
    DiscoveryListDone();
    if (status != 0) {
        LeTrace("***** LeDeviceDiscoveryComplete: discovery failed");
        return false;
    }
    if (err != ERROR_SUCCESS) {
        LeTrace("***** LeDeviceDiscoveryComplete: LeDeviceDumpDiscoverDbToRegistry failed. err=%d", static_cast<int>(err));
        return false;
    }
    LeTrace("LeDeviceDiscoveryComplete: LeDeviceDumpDiscoverDbToRegistry succeeded");
    return true;
}

DWORD DiscoveryInProgress(ULONGLONG address)
{
    LeTrace("***** QorGattPairingDiscover: discovery is in progress for %012I64x. addr=%012I64x",
            static_cast<ULONGLONG>(pairing_addr), address);
    return ERROR_BUSY;
}

} // namespace

void LeDeviceConnectCallback(uint8_t gatt_if, const uint8_t *bda, uint16_t conn_id, uint8_t connected)
{
    pairing_conn_id = connected ? conn_id : kPairingDisconnected;
    LeTrace("LeDeviceConnectCallback %08x%04x gatt_if %d conn_id %d connected %d", BdaHigh(bda), BdaLow(bda), gatt_if,
            conn_id, connected);
}

void LeDeviceCompleteCallback(uint16_t conn_id, uint8_t op, uint8_t status, const LeAttrValue *)
{
    LeTrace("LeDeviceCompleteCallback conn_id %d op %d status %d", conn_id, op, status);
}

void LeDeviceDiscoveryResult(uint16_t conn_id, uint8_t disc_type, const ZrDiscResult *)
{
    LeTrace("LeDeviceDiscoveryResult conn_id %d type %d", conn_id, disc_type);
}

void LeDeviceRequestCallback(uint16_t conn_id, uint32_t trans_id, uint8_t req_type, const ZrRequestPayload *)
{
    LeTrace("LeDeviceRequestCallback conn_id %d trans_id %d type %d", conn_id, trans_id, req_type);
}

void LeDeviceDiscoveryComplete(uint16_t conn_id, uint8_t disc_type, uint8_t status)
{
    LeTrace("LeDeviceDiscoveryComplete: conn_id=0x%x disc_type=0x%x status=0x%x", conn_id, disc_type, status);
    if (pairing_gatt_if == 0) {
        pairing_busy = false;
        LeTrace("***** LeDeviceDiscoveryComplete: unexpected callback");
        return;
    }
    bool stored = StoreDiscoveredDatabase(status);
    ULONGLONG address = pairing_addr;
    PFN_LE_PAIRING_CALLBACK done = pairing_done_cb;
    // Only now may a new discovery release the list the store was reading.
    pairing_busy = false;
    if (done)
        done(address, stored ? 1 : 0);
}

namespace {

DWORD Register()
{
    StateChange change;
    if (!change.Held() || pairing_gatt_if != 0) {
        LeTrace("***** QorGattPairingRegister: registered already");
        return ERROR_BUSY;
    }
    pairing_callbacks = {LeDeviceConnectCallback, LeDeviceCompleteCallback, LeDeviceDiscoveryResult,
                         LeDeviceDiscoveryComplete, LeDeviceRequestCallback};
    LeUuid identity = PairingIdentity();
    pairing_gatt_if = GATT_Register(&identity, &pairing_callbacks, &pairing_generation);
    if (pairing_gatt_if == 0) {
        LeTrace("***** QorGattPairingRegister: GATT_Register failed");
        return ERROR_INTERNAL_ERROR;
    }
    LeTrace("QorGattPairingRegister: GATT_Register succeeded");
    return ERROR_SUCCESS;
}

DWORD Unregister()
{
    StateChange change;
    if (!change.Held() || pairing_gatt_if == 0) {
        LeTrace("***** QorGattPairingUnregister: is not registered");
        return ERROR_BUSY;
    }
    GATT_Deregister(pairing_gatt_if, pairing_generation);
    pairing_gatt_if = 0;
    pairing_done_cb = nullptr;
    pairing_busy = false;
    LeTrace("QorGattPairingUnregister: deregistered");
    return ERROR_SUCCESS;
}

DWORD Discover(ULONGLONG Address, PFN_LE_PAIRING_CALLBACK pfnDone)
{
    // Without its registration no one would end the walk and the gate would stay taken.
    if (pairing_gatt_if == 0) {
        LeTrace("***** QorGattPairingDiscover: is not registered");
        return ERROR_BUSY;
    }
    if (pairing_busy.exchange(true))
        return DiscoveryInProgress(Address);
    // A walk may outlive the registration that started it (unregistered while
    // it ran): its list is still in use on the reader thread.
    if (DiscoveryRunning()) {
        pairing_busy = false;
        return DiscoveryInProgress(Address);
    }
    pairing_addr = Address;
    pairing_done_cb = pfnDone;
    ReleaseDiscoveryList();

    disc_param param = WholeDatabase();
    const uint16_t conn_id = pairing_conn_id;
    DiscoveryBegin(conn_id, pairing_gatt_if);
    uint8_t status = GATTCIf_Discover(pairing_gatt_if, conn_id, &param);
    if (status != kDriverAccepted) {
        DiscoveryAbandon();
        pairing_busy = false;
        LeTrace("***** QorGattPairingDiscover: GATTCIf_Discover failed. addr=%012I64x status=0x%x", Address, status);
        return ERROR_INTERNAL_ERROR;
    }
    LeTrace("QorGattPairingDiscover: started addr=%012I64x", Address);
    return ERROR_SUCCESS;
}

// The pairing exports read no memory of the caller's: a caught fault is not
// traced.
constexpr ExportDecl kPairingRegister = QOR_EXPORT_UNTRACED(QorGattPairingRegister);
constexpr ExportDecl kPairingUnregister = QOR_EXPORT_UNTRACED(QorGattPairingUnregister);
constexpr ExportDecl kPairingDiscover = QOR_EXPORT_UNTRACED(QorGattPairingDiscover);

} // namespace

extern "C" DWORD WINAPI QorGattPairingRegister(void) { return RunExport(kPairingRegister, [] { return Register(); }); }

extern "C" DWORD WINAPI QorGattPairingUnregister(void)
{
    return RunExport(kPairingUnregister, [] { return Unregister(); });
}

extern "C" DWORD WINAPI QorGattPairingDiscover(ULONGLONG Address, PFN_LE_PAIRING_CALLBACK pfnDone)
{
    return RunExport(kPairingDiscover, [&] { return Discover(Address, pfnDone); });
}
