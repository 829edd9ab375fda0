// The discovery walk: a chain of discover requests and descriptor reads over a
// remote device's whole attribute database, each started on the reader thread
// by the completion of the one before. It fills the discovery list and ends in
// ClientDiscoverComplete, which opens the gate and tells the owner.

#include "link/discovery.h"

#include <atomic>
#include <cstring>
#include <new>

#include "link/link_private.h"
#include "trace/trace.h"

volatile LONG disc_stage = 0;

disc_service *disc_services = nullptr;
disc_service *cur_service = nullptr;
disc_char *pCurChar = nullptr;
disc_descr *pCurDescr = nullptr;

namespace {

// disc_stage values after the all-services step.
constexpr LONG kStageIncluded = 2;
constexpr LONG kStageChars = 3;
constexpr LONG kStageDescriptors = 4;
constexpr LONG kStageValues = 5;


// The connection the running walk holds, kNoWalk while none runs.
constexpr int kNoWalk = -1;
std::atomic<int> g_walk_conn{kNoWalk};

bool IsWalkConnection(uint16_t conn_id) { return g_walk_conn.load() == conn_id; }

uint16_t Le16(const uint8_t *bytes) { return static_cast<uint16_t>(bytes[0] | bytes[1] << 8); }

// Where the next node of a list goes: appends stay linear while the walk adds
// to one list after another. It follows one list at a time and finds the end
// of a list it has not followed; ReleaseDiscoveryList forgets it.
template <typename Node>
struct ListTail {
    Node **list = nullptr;
    Node **tail = nullptr;

    void Append(Node *&head, Node *node)
    {
        if (list != &head) {
            list = &head;
            tail = &head;
        }
        while (*tail)
            tail = &(*tail)->next;
        *tail = node;
        tail = &node->next;
    }
};

ListTail<disc_service> g_service_tail;
ListTail<disc_char> g_char_tail;
ListTail<disc_descr> g_descr_tail;

// ---- gate state of a connection record ----

// Whether a discovery walk holds the gate of the connection; *op is what is in place.
bool WalkHoldsGate(conn_record &rec, uint16_t *op)
{
    EnterCriticalSection(&rec.lock);
    *op = rec.op;
    bool held = rec.op == ZR_OP_DISCOVERY && IsGattIf(rec.op_gatt_if);
    LeaveCriticalSection(&rec.lock);
    return held;
}

// ---- collecting ----

void AddService(const LeUuid &uuid, uint16_t s_handle, uint16_t e_handle, uint8_t included)
{
    disc_service *service = new (std::nothrow) disc_service();
    if (!service)
        return;
    service->uuid = uuid;
    service->s_handle = s_handle;
    service->e_handle = e_handle;
    service->included = included;
    g_service_tail.Append(disc_services, service);
}

void AddCharacteristic(const ZrDiscResult &r)
{
    // Only while the characteristics of cur_service are being discovered.
    if (disc_stage != kStageChars || !cur_service)
        return;
    disc_char *chr = new (std::nothrow) disc_char();
    if (!chr)
        return;
    chr->handle = r.handle;
    chr->properties = r.u.chr.properties;
    chr->val_handle = r.u.chr.val_handle;
    chr->uuid = r.u.chr.uuid;
    g_char_tail.Append(cur_service->chars, chr);
}

void AddDescriptor(const ZrDiscResult &r)
{
    // Only while the descriptors of pCurChar are being discovered.
    if (disc_stage != kStageDescriptors || !pCurChar)
        return;
    disc_descr *descr = new (std::nothrow) disc_descr();
    if (!descr)
        return;
    descr->uuid = r.attr_type;
    descr->handle = r.handle;
    g_descr_tail.Append(pCurChar->descrs, descr);
}

// ---- advancing ----
// Each step acts only on the end of the step that is under way: a stray
// completion of another step, or one after the walk has ended, changes nothing.

// Sends the next discover request; a refusal ends the walk.
void DiscoverRange(uint16_t conn_id, uint8_t type, uint16_t s_handle, uint16_t e_handle)
{
    disc_param param;
    std::memset(&param, 0, sizeof param);
    param.s_handle = s_handle;
    param.e_handle = e_handle;
    uint8_t status = GATTC_Discover(conn_id, type, &param);
    if (status != kDriverAccepted)
        ClientDiscoverComplete(conn_id, status);
}

void DiscoverService(uint16_t conn_id, uint8_t type, const disc_service *service)
{
    DiscoverRange(conn_id, type, service->s_handle, service->e_handle);
}

// Where pCurChar's descriptors can lie: after its value, up to the next
// declaration or the end of its service. Computed wide so that no handle wraps.
int DescriptorRangeEnd(const disc_service *service, const disc_char *chr)
{
    return chr->next ? chr->next->handle - 1 : service->e_handle;
}

void TraceRangeSearch(const disc_service *service, const disc_char *chr)
{
    if (chr->next)
        LeTrace("DiscoveryComplete service 0x%x-0x%x pCurChar handle:0x%x next char:0x%x discovey e_handle:0x%x\n",
                service->s_handle, service->e_handle, chr->handle, chr->next->handle, chr->next->handle - 1);
    else
        LeTrace("DiscoveryComplete service 0x%x-0x%x pCurChar handle:0x%x cur_service e_handle:0x%x\n",
                service->s_handle, service->e_handle, chr->handle, service->e_handle);
}

// From cur_service/pCurChar on, finds the first characteristic whose
// descriptor range is not empty and leaves the cursors on it.
bool SeekDescriptorRange(bool trace)
{
    while (cur_service) {
        for (; pCurChar; pCurChar = pCurChar->next) {
            if (trace)
                TraceRangeSearch(cur_service, pCurChar);
            if (pCurChar->val_handle < DescriptorRangeEnd(cur_service, pCurChar))
                return true;
        }
        cur_service = cur_service->next;
        pCurChar = cur_service ? cur_service->chars : nullptr;
    }
    return false;
}

// From cur_service/pCurChar/pCurDescr on, finds the next descriptor to read,
// following the main list only.
bool SeekDescriptor()
{
    while (cur_service) {
        while (pCurChar) {
            if (pCurDescr)
                return true;
            pCurChar = pCurChar->next;
            pCurDescr = pCurChar ? pCurChar->descrs : nullptr;
        }
        cur_service = cur_service->next;
        pCurChar = cur_service ? cur_service->chars : nullptr;
        pCurDescr = pCurChar ? pCurChar->descrs : nullptr;
    }
    pCurChar = nullptr;
    return false;
}

void ReadCurrentDescriptor(uint16_t conn_id)
{
    read_param param;
    std::memset(&param, 0, sizeof param);
    param.handle = pCurDescr->handle;
    uint8_t status = GATTC_Read(conn_id, ZR_OP_READ, &param);
    if (status != kDriverAccepted)
        ClientDiscoverComplete(conn_id, status);
}

void DiscoverDescriptorsOfCurrent(uint16_t conn_id)
{
    DiscoverRange(conn_id, ZR_DISC_DESCRS, static_cast<uint16_t>(pCurChar->val_handle + 1),
                  static_cast<uint16_t>(DescriptorRangeEnd(cur_service, pCurChar)));
}

void StartDescriptorValues(uint16_t conn_id)
{
    disc_stage = kStageValues;
    cur_service = disc_services;
    pCurChar = cur_service ? cur_service->chars : nullptr;
    pCurDescr = pCurChar ? pCurChar->descrs : nullptr;
    if (SeekDescriptor()) {
        ReadCurrentDescriptor(conn_id);
        return;
    }
    ClientDiscoverComplete(conn_id, 0);
    LeTrace("LE - Discovery done 2");
}

void ServicesFound(uint16_t conn_id)
{
    if (!disc_services) {
        ClientDiscoverComplete(conn_id, 0);
        LeTrace("LE - Discovery done 0");
        return;
    }
    disc_stage = kStageIncluded;
    cur_service = disc_services;
    DiscoverService(conn_id, ZR_DISC_INCLUDED, cur_service);
}

void IncludedFound(uint16_t conn_id)
{
    if (disc_stage != kStageIncluded || !cur_service)
        return;
    cur_service = cur_service->next;
    if (cur_service) {
        DiscoverService(conn_id, ZR_DISC_INCLUDED, cur_service);
        return;
    }
    disc_stage = kStageChars;
    cur_service = disc_services;
    DiscoverService(conn_id, ZR_DISC_CHARS, cur_service);
}

void CharacteristicsFound(uint16_t conn_id)
{
    if (disc_stage != kStageChars || !cur_service)
        return;
    cur_service = cur_service->next;
    if (cur_service) {
        DiscoverService(conn_id, ZR_DISC_CHARS, cur_service);
        return;
    }
    disc_stage = kStageDescriptors;
    cur_service = disc_services;
    pCurChar = cur_service->chars;
    if (SeekDescriptorRange(false)) {
        DiscoverDescriptorsOfCurrent(conn_id);
        return;
    }
    ClientDiscoverComplete(conn_id, 0);
    LeTrace("LE - Discovery done 1");
}

void DescriptorsFound(uint16_t conn_id)
{
    if (disc_stage != kStageDescriptors || !cur_service || !pCurChar)
        return;
    pCurChar = pCurChar->next;
    if (SeekDescriptorRange(true))
        DiscoverDescriptorsOfCurrent(conn_id);
    else
        StartDescriptorValues(conn_id);
}

// ---- descriptor values ----

void StoreUserDescription(disc_char *chr, const LeAttrValue &value)
{
    size_t n = value.len;
    if (n > sizeof value.value)
        n = sizeof value.value;
    if (n > kUserDescriptionSize - 1)
        n = kUserDescriptionSize - 1;
    std::memcpy(chr->user_description, value.value, n);
    chr->user_description[n] = '\0';
}

void StoreDescriptorValue(disc_char *chr, const LeUuid &uuid, const LeAttrValue &value)
{
    if (!IsStandardDescriptor(uuid))
        return;
    const uint8_t *b = value.value;
    switch (Uuid16Value(uuid)) {
    case kDescrExtProps:
        chr->ext_props = Le16(b);
        break;
    case kDescrUserDescription:
        StoreUserDescription(chr, value);
        break;
    case kDescrClientConfig:
        chr->client_config = Le16(b);
        break;
    case kDescrServerConfig:
        chr->server_config = Le16(b);
        break;
    case kDescrPresentation:
        chr->format = b[0];
        chr->exponent = b[1];
        chr->unit = Le16(b + 2);
        chr->name_space = b[4];
        chr->description = Le16(b + 5);
        break;
    }
}

const char *const disc_type_names[] = {
    "????",
    "discover all services",
    "service of a special type",
    "included service",
    "characteristics of a service",
    "characteristic descriptors",
};

} // namespace

const char *DiscTypeName(uint8_t type)
{
    return disc_type_names[type < sizeof disc_type_names / sizeof disc_type_names[0] ? type : 0];
}

uint16_t Uuid16Value(const LeUuid &uuid) { return Le16(uuid.value); }

bool IsStandardDescriptor(const LeUuid &uuid)
{
    uint16_t v = Uuid16Value(uuid);
    return uuid.len == 2 && v >= kDescrExtProps && v <= kDescrPresentation;
}

void free_disc_service(disc_service *service)
{
    for (disc_char *chr = service->chars; chr;) {
        for (disc_descr *descr = chr->descrs; descr;) {
            disc_descr *next = descr->next;
            delete descr;
            descr = next;
        }
        disc_char *next = chr->next;
        delete chr;
        chr = next;
    }
    for (disc_service *nested = service->nested; nested;) {
        disc_service *next = nested->next;
        free_disc_service(nested);
        nested = next;
    }
    delete service;
}

void ReleaseDiscoveryList()
{
    for (disc_service *service = disc_services; service;) {
        disc_service *next = service->next;
        free_disc_service(service);
        service = next;
    }
    disc_services = nullptr;
    g_service_tail = {};
    g_char_tail = {};
    g_descr_tail = {};
    cur_service = nullptr;
    pCurChar = nullptr;
    pCurDescr = nullptr;
    disc_stage = 0;
}

void DiscoveryBegin(uint16_t conn_id) { g_walk_conn = conn_id; }

bool DiscoveryRunning() { return g_walk_conn.load() != kNoWalk; }

bool DiscoveryTakesRead(uint16_t conn_id) { return disc_stage == kStageValues && IsWalkConnection(conn_id); }

void DiscoveryAbandon()
{
    disc_stage = 0;
    g_walk_conn = kNoWalk;
}

void ClientDiscoverComplete(uint16_t conn_id, uint8_t status)
{
    DiscoveryAbandon();
    if (conn_id >= kMaxConnections) {
        LeTrace("ClientDiscoverComplete bad conn_id:%d", conn_id);
        return;
    }
    conn_record &rec = conn_table[conn_id];
    EnterCriticalSection(&rec.lock);
    if (rec.op != ZR_OP_DISCOVERY || !IsGattIf(rec.op_gatt_if)) {
        LeTrace("ClientDiscoverComplete bad current optype:%d on conn_id:%d current gatt_if:%d", rec.op, conn_id,
                rec.op_gatt_if);
        LeaveCriticalSection(&rec.lock);
        return;
    }
    const uint8_t owner = rec.op_gatt_if;
    LeTrace("ClientDiscoverComplete gatt_if=%d conn_id=%d op=%d", owner, conn_id, rec.op);
    ClientGateOpenLocked(rec);
    // A registration that has gone is not called: its callbacks went with it.
    uint8_t gatt_if;
    gatt_callbacks callbacks;
    auto on_disc_complete = ReadSlot(owner - 1, &gatt_if, &callbacks) ? callbacks.on_disc_complete : nullptr;
    LeaveCriticalSection(&rec.lock);
    if (on_disc_complete)
        on_disc_complete(conn_id, ZR_OP_DISCOVERY, status);
}

void DiscoveryResult(uint16_t conn_id, uint8_t disc_type, const ZrDiscResult *result)
{
    if (conn_id >= kMaxConnections) {
        LeTrace("DiscoveryResult bad conn_id:%d", conn_id);
        return;
    }
    uint16_t op;
    if (!WalkHoldsGate(conn_table[conn_id], &op)) {
        LeTrace("DiscoveryResult conn_id=%d waited DiscoveryResult received=%d status=%d", conn_id, disc_type, op);
        return;
    }
    LeTrace("DiscoveryResult conn_id %d disc type:%s", conn_id, DiscTypeName(disc_type));
    const ZrDiscResult &r = *result;
    switch (disc_type) {
    case ZR_DISC_ALL_SERVICES:
        LeTrace("DiscoveryResult All Services handle %d disc type:%x service type:%x e_handle:%x", r.handle,
                Uuid16Value(r.attr_type), Uuid16Value(r.u.service.uuid), r.u.service.e_handle);
        AddService(r.u.service.uuid, r.handle, r.u.service.e_handle, 0);
        break;
    case ZR_DISC_INCLUDED:
        LeTrace("DiscoveryResult Included Service handle 0x%x service type:0x%x s_handle:0x%x e_handle:0x%x",
                r.handle, Uuid16Value(r.u.include.uuid), r.u.include.s_handle, r.u.include.e_handle);
        AddService(r.u.include.uuid, r.u.include.s_handle, r.u.include.e_handle, 1);
        break;
    case ZR_DISC_CHARS:
        LeTrace("DiscoveryResult Char handle:0x%x disc type:0x%x char props:0x%x val_handle:0x%x uuid:0x%x",
                r.handle, Uuid16Value(r.attr_type), r.u.chr.properties, r.u.chr.val_handle,
                Uuid16Value(r.u.chr.uuid));
        AddCharacteristic(r);
        break;
    case ZR_DISC_DESCRS:
        LeTrace("DiscoveryResult descriptor handle:%x uuid:%x", r.handle, Uuid16Value(r.attr_type));
        AddDescriptor(r);
        break;
    default:
        break;
    }
}

void DiscoveryComplete(uint16_t conn_id, uint8_t disc_type, uint8_t status)
{
    LeTrace("DiscoveryComplete conn_id %d disc type:%s status:%d", conn_id, DiscTypeName(disc_type), status);
    // Another connection's discovery neither advances nor ends the walk.
    if (!IsWalkConnection(conn_id))
        return;
    if (status != 0) {
        ClientDiscoverComplete(conn_id, status);
        return;
    }
    switch (disc_type) {
    case ZR_DISC_ALL_SERVICES:
        ServicesFound(conn_id);
        break;
    case ZR_DISC_INCLUDED:
        IncludedFound(conn_id);
        break;
    case ZR_DISC_CHARS:
        CharacteristicsFound(conn_id);
        break;
    case ZR_DISC_DESCRS:
        DescriptorsFound(conn_id);
        break;
    default:
        break;
    }
}

void DiscoverClientCompleteCallback(uint16_t conn_id, uint8_t op, uint8_t status, const LeAttrValue *payload)
{
    LeTrace("DiscoverClientCompleteCallback conn_id %d op %d status %d\n", conn_id, op, status);
    if (op != ZR_OP_READ || disc_stage != kStageValues || !pCurChar || !pCurDescr)
        return;
    if (payload)
        StoreDescriptorValue(pCurChar, pCurDescr->uuid, *payload);
    pCurDescr = pCurDescr->next;
    if (SeekDescriptor())
        ReadCurrentDescriptor(conn_id);
    else
        ClientDiscoverComplete(conn_id, 0);
}
