/*
 * QorLeLib: Bluetooth Low Energy GATT client, server and pairing discovery
 * for 64-bit Windows applications.
 */
#ifndef QORLELIB_H
#define QORLELIB_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifdef QORLELIB_BUILD
#define QORLEAPI
#else
#define QORLEAPI __declspec(dllimport)
#endif

#define QOR_MAX_VALUE 512

/* A 48-bit device address in the low 48 bits, first address byte in bits 40-47. */
typedef union _LE_ADDRESS {
    ULONGLONG ullLong;
    BYTE rgBytes[8];
} LE_ADDRESS, *PLE_ADDRESS;

#pragma pack(push, 1)
typedef struct _LE_VALUE {
    USHORT Length;
    BYTE Value[QOR_MAX_VALUE];
} LE_VALUE, *PLE_VALUE;
#pragma pack(pop)

/* Opaque registration handle. */
typedef PVOID HQORREG;

typedef void (WINAPI *PFN_LE_CONNECT_CALLBACK)(PVOID Context, PLE_ADDRESS pAddress, DWORD Connected);
typedef void (WINAPI *PFN_LE_COMPLETE_CALLBACK)(ULONGLONG Context, DWORD Status, PLE_VALUE pValue);
typedef DWORD (WINAPI *PFN_LE_ATTRIBUTE_CALLBACK)(PLE_ADDRESS pAddress, GUID *pServiceGuid, DWORD ServiceInstance,
                                                  GUID *pCharGuid, DWORD CharInstance, GUID *pDescrGuid,
                                                  DWORD Extra, DWORD EventType, PLE_VALUE pValue);
typedef void (WINAPI *PFN_LE_PAIRING_CALLBACK)(ULONGLONG Address, DWORD Success);
typedef void (WINAPI *LeTraceSink)(const char *line);

/* Attribute event types of PFN_LE_ATTRIBUTE_CALLBACK. */
#define QOR_EVENT_READ_REQUEST  1
#define QOR_EVENT_WRITE_REQUEST 2
#define QOR_EVENT_NOTIFICATION  3
#define QOR_EVENT_INDICATION    4

/* Diagnostics */
QORLEAPI DWORD WINAPI QorGattSetTraceFunction(LeTraceSink sink);

/* Pairing discovery */
QORLEAPI DWORD WINAPI QorGattPairingRegister(void);
QORLEAPI DWORD WINAPI QorGattPairingUnregister(void);
QORLEAPI DWORD WINAPI QorGattPairingDiscover(ULONGLONG Address, PFN_LE_PAIRING_CALLBACK pfnDone);

/* Client */
QORLEAPI DWORD WINAPI QorGattRegister(PLE_ADDRESS pAddress, GUID *pGuidApp, PFN_LE_CONNECT_CALLBACK pfnConnect,
                                      PFN_LE_COMPLETE_CALLBACK pfnComplete, PFN_LE_ATTRIBUTE_CALLBACK pfnAttribute,
                                      PVOID Context, HQORREG *phReg);
QORLEAPI void WINAPI QorGattDeregister(HQORREG hReg);
QORLEAPI DWORD WINAPI QorGattConnect(HQORREG hReg, PLE_ADDRESS pAddress, DWORD bWait);
QORLEAPI DWORD WINAPI QorGattEnumService(PLE_ADDRESS pAddress, DWORD inx, GUID *pGuidServ, USHORT *hService);
QORLEAPI DWORD WINAPI QorGattEnumCharacteristic(PLE_ADDRESS pAddress, USHORT hService, DWORD inx, GUID *pGuidChar,
                                                USHORT *hChar);
QORLEAPI DWORD WINAPI QorGattEnumDescriptor(PLE_ADDRESS pAddress, USHORT hService, USHORT hChar, DWORD inx,
                                            GUID *pGuidDescr, USHORT *hDescr);
QORLEAPI DWORD WINAPI QorGattReadCharacteristic(HQORREG hReg, PLE_ADDRESS pAddress, GUID *pGuidService,
                                                DWORD serviceInstance, GUID *pGuidChar, DWORD charInstance,
                                                BYTE authReq, PLE_VALUE pValue, DWORD wait, ULONGLONG context);
QORLEAPI DWORD WINAPI QorGattReadDescriptor(HQORREG hReg, PLE_ADDRESS pAddress, GUID *pGuidService,
                                            DWORD serviceInstance, GUID *pGuidChar, DWORD charInstance,
                                            GUID *pGuidDescr, BYTE authReq, PLE_VALUE pValue, DWORD wait,
                                            ULONGLONG context);
QORLEAPI DWORD WINAPI QorGattWriteCharacteristic(HQORREG hReg, PLE_ADDRESS pAddress, GUID *pGuidService,
                                                 DWORD serviceInstance, GUID *pGuidChar, DWORD charInstance,
                                                 BYTE authReq, PLE_VALUE pValue, DWORD wait, ULONGLONG context);
QORLEAPI DWORD WINAPI QorGattWriteDescriptor(HQORREG hReg, PLE_ADDRESS pAddress, GUID *pGuidService,
                                             DWORD serviceInstance, GUID *pGuidChar, DWORD charInstance,
                                             GUID *pGuidDescr, BYTE authReq, PLE_VALUE pValue, DWORD wait,
                                             ULONGLONG context);

/* Server */
QORLEAPI DWORD WINAPI QorGattCreateService(HQORREG hReg, GUID *pGuidService, DWORD instance, DWORD numHandles,
                                           BYTE serviceFlag, USHORT *phService);
QORLEAPI DWORD WINAPI QorGattAddIncludeService(USHORT hService, USHORT hIncludedService);
QORLEAPI DWORD WINAPI QorGattAddCharacteristic(USHORT hService, GUID *pGuidChar, DWORD unused, DWORD perm,
                                               BYTE property, USHORT *phChar);
QORLEAPI DWORD WINAPI QorGattAddDescriptor(USHORT hService, GUID *pGuidDescr, DWORD perm, PVOID pDescrParam,
                                           USHORT *phDescr);
QORLEAPI DWORD WINAPI QorGattStartService(USHORT hService);
QORLEAPI DWORD WINAPI QorGattDeleteService(USHORT hService);
QORLEAPI DWORD WINAPI QorGattCharValueChanged(PLE_ADDRESS pAddress, USHORT hChar, DWORD bIndicate, PLE_VALUE pValue);

#ifdef __cplusplus
}
#endif

#endif
