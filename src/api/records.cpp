#include "api/records.h"

#include "api/api_state.h"
#include "api/op_slot.h"

LeChar::~LeChar()
{
    while (descriptors) {
        LeDescr *descr = descriptors;
        descriptors = descr->next;
        delete descr;
    }
}

QOR_CONN_DEV::QOR_CONN_DEV() { InitializeCriticalSection(&DevLock); }

QOR_CONN_DEV::~QOR_CONN_DEV()
{
    FreeAttributeCache(this);
    // Its link or its interface has gone: no completion can end the operation
    // outstanding on it any more, and none of a later link may.
    EndOutstanding(this);
    DeleteCriticalSection(&DevLock);
}

void FreeService(LeService *service)
{
    while (service->characteristics) {
        LeChar *chr = service->characteristics;
        service->characteristics = chr->next;
        delete chr;
    }
    while (service->includes) {
        LeService *included = service->includes;
        service->includes = included->next;
        FreeService(included);
    }
    delete service;
}

void FreeServiceList(LeService *services)
{
    while (services) {
        LeService *service = services;
        services = service->next;
        FreeService(service);
    }
}

void FreeAttributeCache(QOR_CONN_DEV *dev)
{
    LeService *services = dev->services;
    dev->services = nullptr;
    FreeServiceList(services);
}

ULONGLONG AddressFromBda(const uint8_t *bda)
{
    ULONGLONG address = 0;
    for (size_t i = 0; i < kBdaSize; ++i)
        address = address << 8 | bda[i];
    return address;
}

void BdaFromAddress(ULONGLONG address, uint8_t (&bda)[kBdaSize])
{
    for (size_t i = kBdaSize; i-- > 0; address >>= 8)
        bda[i] = static_cast<uint8_t>(address);
}

QOR_CONN_DEV *FindDevice(ULONGLONG address)
{
    for (QOR_CONN_DEV *dev = pDevList; dev; dev = dev->pNext) {
        if (dev->Address.ullLong == address)
            return dev;
    }
    return nullptr;
}
