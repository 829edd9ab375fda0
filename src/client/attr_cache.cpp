#include "client/attr_cache.h"

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
    // An operation nobody waits for leaves its event with the record until its
    // completion arrives; a waiting caller owns (and closes) the event itself.
    if (hOpEvent && !OpWait)
        CloseHandle(hOpEvent);
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

void FreeAttributeCache(QOR_CONN_DEV *dev)
{
    while (dev->services) {
        LeService *service = dev->services;
        dev->services = service->next;
        FreeService(service);
    }
}
