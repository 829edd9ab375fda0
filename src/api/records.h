#pragma once
// The records both roles keep: the attribute tree (services,
// characteristics, descriptors) of a remote device or of a registration's
// local services, and the record of a device the API knows, with the lookups
// of the connected-device list.
//
// Every record is allocated with `new (std::nothrow)` and destroyed with
// `delete` (services through FreeService).

#include <windows.h>

#include <cstdint>

#include "QorLeLib.h"

class QOR_APP_REG;
class LeChar;
class LeDescr;

constexpr size_t kUserDescriptionChars = 512;

struct LeService {
    GUID uuid{};
    uint32_t instance = 0;           // local services only
    uint16_t s_handle = 0;
    uint16_t e_handle = 0;
    uint8_t flag = 0;
    LeService *next = nullptr;
    LeService *includes = nullptr;   // owned, each a full service
    LeChar *characteristics = nullptr;
};

class LeDescr {
public:
    LeDescr() = default;
    virtual ~LeDescr() = default;
    LeDescr(const LeDescr &) = delete;
    LeDescr &operator=(const LeDescr &) = delete;

    GUID uuid{};
    uint16_t handle = 0;
    LeDescr *next = nullptr;
};

class LeChar {
public:
    LeChar() = default;
    virtual ~LeChar();               // destroys the descriptor list, in list order
    LeChar(const LeChar &) = delete;
    LeChar &operator=(const LeChar &) = delete;

    uint16_t attrHandle = 0;         // declaration: the handle applications see
    uint8_t properties = 0;
    uint16_t valueHandle = 0;
    GUID uuid{};
    uint16_t extProperties = 0;      // 0x2900
    uint16_t clientConfig = 0;       // 0x2902
    uint16_t serverConfig = 0;       // 0x2903
    uint8_t format = 0;              // 0x2904, five fields
    int8_t exponent = 0;
    uint16_t unit = 0;
    uint8_t nameSpace = 0;
    uint16_t description = 0;
    char userDescription[kUserDescriptionChars] = {};   // 0x2901, NUL-terminated
    LeDescr *descriptors = nullptr;
    LeChar *next = nullptr;
};

class QOR_CONN_DEV {
public:
    QOR_CONN_DEV();                  // DevLock ready, everything else zero
    virtual ~QOR_CONN_DEV();         // frees the tree, then DevLock
    QOR_CONN_DEV(const QOR_CONN_DEV &) = delete;
    QOR_CONN_DEV &operator=(const QOR_CONN_DEV &) = delete;

    QOR_CONN_DEV *pNext = nullptr;
    CRITICAL_SECTION DevLock;        // taken only inside ApiLock, around a refresh of the tree
    LE_ADDRESS Address{};
    QOR_APP_REG *pOpApp = nullptr;   // who started the outstanding read or write
    uint8_t gatt_if = 0;             // the interface whose connection event created the record
    uint16_t conn_id = 0;
    uint32_t ReqTransId = 0;         // last remote request to a local service
    uint16_t ReqHandle = 0;
    uint8_t OpStatus = 0;
    uint8_t OpKind = 0;              // the completion op that ends the outstanding operation; 0: none does
    uint32_t OpWait = 0;             // non-zero: the caller of the outstanding operation waits
    HANDLE hOpEvent = nullptr;
    LeService *services = nullptr;
    LE_VALUE *pOpValue = nullptr;    // the caller's block; only the caller's own thread writes it
    uint64_t OpContext = 0;
    uint32_t link_generation = 0;    // the channel opening gatt_if belonged to when the record was made
    uint16_t OpHandle = 0;           // the attribute the outstanding read asked for
    bool OpCompleted = false;        // a completion ended the waited operation; its value is in OpResult
    LE_VALUE OpResult{};             // the completion's value, until the waiting caller takes it
};

// Frees a service with its characteristics (and their descriptors) and its
// included services.
void FreeService(LeService *service);
// Frees every service of a list, in list order.
void FreeServiceList(LeService *services);
// Frees every service of the device's tree, in list order, and leaves it empty.
void FreeAttributeCache(QOR_CONN_DEV *dev);

constexpr size_t kBdaSize = 6;

// The six-byte form (first byte most significant) and the API's number.
ULONGLONG AddressFromBda(const uint8_t *bda);
void BdaFromAddress(ULONGLONG address, uint8_t (&bda)[kBdaSize]);

// The first record of pDevList with that address, or null. ApiLock held.
QOR_CONN_DEV *FindDevice(ULONGLONG address);
