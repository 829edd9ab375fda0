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

disc_service *disc_services = nullptr;

namespace {

// The stages of a walk. The all-services step shares its number with an idle
// walk: its end is only heard while no later stage has begun.
constexpr LONG kStageServices = 0;
constexpr LONG kStageIncluded = 2;
constexpr LONG kStageChars = 3;
constexpr LONG kStageDescriptors = 4;
constexpr LONG kStageValues = 5;

// Where the next node of a list goes: appends stay linear while the walk adds
// to one list after another. It follows one list at a time and finds the end
// of a list it has not followed.
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

// The walk state: the stage, the three cursors into the discovery list and the
// tails the results are appended at. ReleaseDiscoveryList resets it.
struct WalkState {
    std::atomic<LONG> disc_stage{kStageServices};
    disc_service *cur_service = nullptr;
    disc_char *pCurChar = nullptr;
    disc_descr *pCurDescr = nullptr;
    ListTail<disc_service> service_tail;
    ListTail<disc_char> char_tail;
    ListTail<disc_descr> descr_tail;

    void Reset()
    {
        disc_stage = kStageServices;
        cur_service = nullptr;
        pCurChar = nullptr;
        pCurDescr = nullptr;
        service_tail = {};
        char_tail = {};
        descr_tail = {};
    }
    // A stage begins at the first service, its first characteristic and that
    // one's first descriptor.
    void Begin(LONG stage)
    {
        disc_stage = stage;
        cur_service = disc_services;
        pCurChar = cur_service ? cur_service->chars : nullptr;
        pCurDescr = pCurChar ? pCurChar->descrs : nullptr;
    }
    // Whether the end of `stage` is the end of the step under way: a stray
    // completion of another step, or one after the walk has ended, is not.
    bool UnderWay(LONG stage) const
    {
        if (disc_stage != stage)
            return false;
        switch (stage) {
        case kStageIncluded:
        case kStageChars:
            return cur_service != nullptr;
        case kStageDescriptors:
            return cur_service && pCurChar;
        case kStageValues:
            return pCurChar && pCurDescr;
        default:
            return true;
        }
    }
};

WalkState g_walk;

// The connection the running walk holds, kNoWalk while none runs.
constexpr int kNoWalk = -1;
std::atomic<int> g_walk_conn{kNoWalk};
// The gatt_if that started the walk.
uint8_t g_walk_owner = 0;
// The walk whose list is in use, 0 for none: set from the start of a walk until
// its end has been stored or told, so the list is not released under it.
std::atomic<uint32_t> g_list_walk{0};
uint32_t g_walk_serial = 0;

bool IsWalkConnection(uint16_t conn_id) { return g_walk_conn.load() == conn_id; }

uint16_t Le16(const uint8_t *bytes) { return static_cast<uint16_t>(bytes[0] | bytes[1] << 8); }

// ---- gate state of a connection record ----

// Whether a discovery walk holds the gate of the connection; *op is what is in place.
bool WalkHoldsGate(conn_record &rec, uint16_t *op)
{
    RecordLock lock(rec);
    *op = rec.op;
    return rec.op == ZR_OP_DISCOVERY && IsGattIf(rec.op_gatt_if);
}

// Opens the gate a walk holds on the connection; false (traced) when no walk
// holds it. *owner is the gatt_if the gate was held for.
bool GateOfWalk(uint16_t conn_id, uint8_t *owner)
{
    conn_record &rec = conn_table[conn_id];
    RecordLock lock(rec);
    if (rec.op != ZR_OP_DISCOVERY || !IsGattIf(rec.op_gatt_if)) {
        LeTrace("ClientDiscoverComplete bad current optype:%d on conn_id:%d current gatt_if:%d", rec.op, conn_id,
                rec.op_gatt_if);
        return false;
    }
    *owner = rec.op_gatt_if;
    LeTrace("ClientDiscoverComplete gatt_if=%d conn_id=%d op=%d", *owner, conn_id, rec.op);
    ClientGateOpenLocked(rec);
    return true;
}

// Calls the on_disc_complete of a registration. One that has gone is not
// called: its callbacks went with it.
void TellOwner(uint8_t owner, uint16_t conn_id, uint8_t status)
{
    uint8_t gatt_if;
    gatt_callbacks callbacks;
    if (IsGattIf(owner) && ReadSlot(owner - 1, &gatt_if, &callbacks) && callbacks.on_disc_complete)
        callbacks.on_disc_complete(conn_id, ZR_OP_DISCOVERY, status);
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
    g_walk.service_tail.Append(disc_services, service);
}

void AddCharacteristic(const ZrDiscResult &r)
{
    // Only while the characteristics of cur_service are being discovered.
    if (!g_walk.UnderWay(kStageChars))
        return;
    disc_char *chr = new (std::nothrow) disc_char();
    if (!chr)
        return;
    chr->handle = r.handle;
    chr->properties = r.u.chr.properties;
    chr->val_handle = r.u.chr.val_handle;
    chr->uuid = r.u.chr.uuid;
    g_walk.char_tail.Append(g_walk.cur_service->chars, chr);
}

void AddDescriptor(const ZrDiscResult &r)
{
    // Only while the descriptors of pCurChar are being discovered.
    if (!g_walk.UnderWay(kStageDescriptors))
        return;
    disc_descr *descr = new (std::nothrow) disc_descr();
    if (!descr)
        return;
    descr->uuid = r.attr_type;
    descr->handle = r.handle;
    g_walk.descr_tail.Append(g_walk.pCurChar->descrs, descr);
}

// ---- advancing ----

// The next request of the walk, as Advance decides it.
struct NextRequest {
    enum Kind { Nothing, Discover, Read, End } kind = Nothing;
    uint8_t disc_type = 0;        // Discover
    uint16_t first = 0;           // Discover: the range; Read: the handle
    uint16_t last = 0;
    const char *done = nullptr;   // End: the line traced after the end, if any
};

NextRequest Discover(uint8_t disc_type, uint16_t first, uint16_t last)
{
    return {NextRequest::Discover, disc_type, first, last, nullptr};
}

NextRequest EndOfWalk(const char *done) { return {NextRequest::End, 0, 0, 0, done}; }

NextRequest DiscoverCurrentService(uint8_t disc_type)
{
    return Discover(disc_type, g_walk.cur_service->s_handle, g_walk.cur_service->e_handle);
}

// Where a characteristic's descriptors can lie: after its value, up to the next
// declaration or the end of its service. Computed wide so that no handle wraps.
int DescriptorRangeEnd(const disc_service *service, const disc_char *chr)
{
    return chr->next ? chr->next->handle - 1 : service->e_handle;
}

NextRequest DiscoverCurrentDescriptors()
{
    return Discover(ZR_DISC_DESCRS, static_cast<uint16_t>(g_walk.pCurChar->val_handle + 1),
                    static_cast<uint16_t>(DescriptorRangeEnd(g_walk.cur_service, g_walk.pCurChar)));
}

NextRequest ReadCurrentDescriptor() { return {NextRequest::Read, 0, g_walk.pCurDescr->handle, 0, nullptr}; }

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
    WalkState &w = g_walk;
    while (w.cur_service) {
        for (; w.pCurChar; w.pCurChar = w.pCurChar->next) {
            if (trace)
                TraceRangeSearch(w.cur_service, w.pCurChar);
            if (w.pCurChar->val_handle < DescriptorRangeEnd(w.cur_service, w.pCurChar))
                return true;
        }
        w.cur_service = w.cur_service->next;
        w.pCurChar = w.cur_service ? w.cur_service->chars : nullptr;
    }
    return false;
}

// From cur_service/pCurChar/pCurDescr on, finds the next descriptor to read,
// following the main list only.
bool SeekDescriptor()
{
    WalkState &w = g_walk;
    while (w.cur_service) {
        while (w.pCurChar) {
            if (w.pCurDescr)
                return true;
            w.pCurChar = w.pCurChar->next;
            w.pCurDescr = w.pCurChar ? w.pCurChar->descrs : nullptr;
        }
        w.cur_service = w.cur_service->next;
        w.pCurChar = w.cur_service ? w.cur_service->chars : nullptr;
        w.pCurDescr = w.pCurChar ? w.pCurChar->descrs : nullptr;
    }
    w.pCurChar = nullptr;
    return false;
}

// The one place that decides what the walk does when the step of `ended`
// has ended: moves the cursors (and the stage) on and names the next request.
NextRequest Advance(LONG ended)
{
    WalkState &w = g_walk;
    if (!w.UnderWay(ended))
        return {};
    switch (ended) {
    case kStageServices:
        if (!disc_services)
            return EndOfWalk("LE - Discovery done 0");
        w.Begin(kStageIncluded);
        return DiscoverCurrentService(ZR_DISC_INCLUDED);
    case kStageIncluded:
        w.cur_service = w.cur_service->next;
        if (w.cur_service)
            return DiscoverCurrentService(ZR_DISC_INCLUDED);
        w.Begin(kStageChars);
        return DiscoverCurrentService(ZR_DISC_CHARS);
    case kStageChars:
        w.cur_service = w.cur_service->next;
        if (w.cur_service)
            return DiscoverCurrentService(ZR_DISC_CHARS);
        w.Begin(kStageDescriptors);
        return SeekDescriptorRange(false) ? DiscoverCurrentDescriptors() : EndOfWalk("LE - Discovery done 1");
    case kStageDescriptors:
        w.pCurChar = w.pCurChar->next;
        if (SeekDescriptorRange(true))
            return DiscoverCurrentDescriptors();
        w.Begin(kStageValues);
        return SeekDescriptor() ? ReadCurrentDescriptor() : EndOfWalk("LE - Discovery done 2");
    case kStageValues:
        w.pCurDescr = w.pCurDescr->next;
        return SeekDescriptor() ? ReadCurrentDescriptor() : EndOfWalk(nullptr);
    default:
        return {};
    }
}

// Sends what Advance decided; a refused request ends the walk with its status.
void Issue(uint16_t conn_id, const NextRequest &next)
{
    uint8_t status = kDriverAccepted;
    if (next.kind == NextRequest::Discover) {
        disc_param param;
        std::memset(&param, 0, sizeof param);
        param.s_handle = next.first;
        param.e_handle = next.last;
        status = GATTC_Discover(conn_id, next.disc_type, &param);
    } else if (next.kind == NextRequest::Read) {
        read_param param;
        std::memset(&param, 0, sizeof param);
        param.handle = next.first;
        status = GATTC_Read(conn_id, ZR_OP_READ, &param);
    } else if (next.kind == NextRequest::End) {
        ClientDiscoverComplete(conn_id, 0);
        if (next.done)
            LeTrace("%s", next.done);
    }
    if (status != kDriverAccepted)
        ClientDiscoverComplete(conn_id, status);
}

// The stage whose step a discovery of this type is; -1 for a type no step uses.
LONG StageOfDiscovery(uint8_t disc_type)
{
    switch (disc_type) {
    case ZR_DISC_ALL_SERVICES:
        return kStageServices;
    case ZR_DISC_INCLUDED:
        return kStageIncluded;
    case ZR_DISC_CHARS:
        return kStageChars;
    case ZR_DISC_DESCRS:
        return kStageDescriptors;
    default:
        return -1;
    }
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
    g_walk.Reset();
}

void DiscoveryBegin(uint16_t conn_id, uint8_t owner)
{
    if (++g_walk_serial == 0)
        g_walk_serial = 1;
    g_list_walk = g_walk_serial;
    g_walk_owner = owner;
    g_walk_conn = conn_id;
}

bool DiscoveryRunning() { return g_list_walk.load() != 0; }

void DiscoveryListDone() { g_list_walk = 0; }

bool DiscoveryTakesRead(uint16_t conn_id) { return g_walk.disc_stage == kStageValues && IsWalkConnection(conn_id); }

void DiscoveryAbandon()
{
    g_walk.disc_stage = kStageServices;
    g_walk_conn = kNoWalk;
    g_list_walk = 0;
}

void DiscoveryCutOff()
{
    const int conn_id = g_walk_conn.exchange(kNoWalk);
    if (conn_id == kNoWalk)
        return;
    g_walk.disc_stage = kStageServices;
    {
        conn_record &rec = conn_table[conn_id];
        RecordLock lock(rec);
        if (rec.op == ZR_OP_DISCOVERY)
            ClientGateOpenLocked(rec);
    }
    uint32_t walk = g_list_walk.load();
    TellOwner(g_walk_owner, static_cast<uint16_t>(conn_id), kDriverNotOpen);
    g_list_walk.compare_exchange_strong(walk, 0);
}

void ClientDiscoverComplete(uint16_t conn_id, uint8_t status)
{
    g_walk.disc_stage = kStageServices;
    const bool walk_ends = g_walk_conn.exchange(kNoWalk) == conn_id;
    uint32_t walk = g_list_walk.load();
    uint8_t owner = 0;
    if (conn_id >= kMaxConnections) {
        LeTrace("ClientDiscoverComplete bad conn_id:%d", conn_id);
    } else if (!GateOfWalk(conn_id, &owner)) {
        // Something took the walk's gate (a stray completion, the link reported
        // up again): the walk cannot end normally, but its owner hears of it.
        if (walk_ends)
            TellOwner(g_walk_owner, conn_id, status ? status : kDriverRefused);
    } else {
        TellOwner(owner, conn_id, status);
    }
    if (walk_ends)
        g_list_walk.compare_exchange_strong(walk, 0);
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
    const LONG stage = StageOfDiscovery(disc_type);
    if (stage >= 0)
        Issue(conn_id, Advance(stage));
}

void DiscoverClientCompleteCallback(uint16_t conn_id, uint8_t op, uint8_t status, const LeAttrValue *payload)
{
    LeTrace("DiscoverClientCompleteCallback conn_id %d op %d status %d\n", conn_id, op, status);
    if (op != ZR_OP_READ || !g_walk.UnderWay(kStageValues))
        return;
    if (payload)
        StoreDescriptorValue(g_walk.pCurChar, g_walk.pCurDescr->uuid, *payload);
    Issue(conn_id, Advance(kStageValues));
}
