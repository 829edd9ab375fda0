#pragma once
// The API's handlers of driver-link events and the answer step of the callback
// thread. They live in their own namespace: the driver link has event handlers
// of the same names.

#include <windows.h>

#include <cstdint>

#include "link/link.h"

struct LeCallback;

namespace api {

// on_connected: keeps the device list and tells the registrations of gatt_if.
void ConnectCallback(uint8_t gatt_if, const uint8_t *bda, uint16_t conn_id, uint8_t connected);
// on_complete: ends reads and writes, delivers notifications and indications.
void CompleteCallback(uint16_t conn_id, uint8_t op, uint8_t status, const LeAttrValue *payload);
// on_request: hands remote requests to local services.
void RequestCallback(uint16_t conn_id, uint32_t trans_id, uint8_t req_type, const ZrRequestPayload *payload);
// After the attribute callback: answers a remote request or confirms an
// indication with the application's verdict. Callback thread, without ApiLock.
void AnswerRemote(const LeCallback *record, DWORD result);

} // namespace api
