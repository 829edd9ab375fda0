#pragma once
// Pairing discovery: its own registration with the driver link, a full
// discovery walk of the connected device, and the service store that hands the
// result to the client role.

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "QorLeLib.h"
#include "link/link.h"

constexpr uint16_t kPairingNoConnection = 0xFFFF;
constexpr uint16_t kPairingDisconnected = 255;

extern uint8_t pairing_gatt_if;
extern volatile uint16_t pairing_conn_id;
extern volatile ULONGLONG pairing_addr;
extern PFN_LE_PAIRING_CALLBACK pairing_done_cb;
extern std::atomic<bool> pairing_busy;
extern gatt_callbacks pairing_callbacks;

// Writes the discovery list under the store key of pairing_addr; a Windows
// error code, 0 for success.
LSTATUS LeDeviceDumpDiscoverDbToRegistry();

void LeDeviceConnectCallback(uint8_t gatt_if, const uint8_t *bda, uint16_t conn_id, uint8_t connected);
void LeDeviceCompleteCallback(uint16_t conn_id, uint8_t op, uint8_t status, const LeAttrValue *payload);
void LeDeviceDiscoveryResult(uint16_t conn_id, uint8_t disc_type, const ZrDiscResult *result);
void LeDeviceDiscoveryComplete(uint16_t conn_id, uint8_t disc_type, uint8_t status);
void LeDeviceRequestCallback(uint16_t conn_id, uint32_t trans_id, uint8_t req_type, const ZrRequestPayload *payload);
