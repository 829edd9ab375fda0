#include <cstring>

#include "qortest.h"

namespace qortest {

namespace {

ZrEvent Blank(uint8_t type)
{
    ZrEvent ev;
    std::memset(&ev, 0, sizeof ev);
    ev.type = type;
    return ev;
}

size_t Clamp(size_t n) { return n < LE_MAX_VALUE ? n : LE_MAX_VALUE; }

} // namespace

ZrEvent ConnectionEvent(const uint8_t bda[6], uint16_t conn_id, uint8_t connected)
{
    ZrEvent ev = Blank(ZR_EVT_CONNECTION);
    std::memcpy(ev.connection.bda, bda, 6);
    ev.connection.conn_id = conn_id;
    ev.connection.connected = connected;
    return ev;
}

ZrEvent CompleteEvent(uint16_t conn_id, uint8_t op, uint8_t status, uint16_t handle,
                      const std::vector<uint8_t> &value, uint8_t auth_req)
{
    ZrEvent ev = Blank(ZR_EVT_COMPLETE);
    ev.complete.conn_id = conn_id;
    ev.complete.op = op;
    ev.complete.status = status;
    ev.complete.payload.conn_id = conn_id;
    ev.complete.payload.handle = handle;
    ev.complete.payload.len = static_cast<uint16_t>(Clamp(value.size()));
    ev.complete.payload.auth_req = auth_req;
    if (!value.empty())
        std::memcpy(ev.complete.payload.value, value.data(), Clamp(value.size()));
    return ev;
}

LeUuid Uuid16(uint16_t v)
{
    LeUuid u;
    std::memset(&u, 0, sizeof u);
    u.len = 2;
    u.value[0] = static_cast<uint8_t>(v);
    u.value[1] = static_cast<uint8_t>(v >> 8);
    return u;
}

LeUuid Uuid128(const GUID &g)
{
    LeUuid u;
    u.len = 16;
    std::memcpy(u.value, &g, 16);
    return u;
}

GUID BaseGuid(uint16_t v)
{
    return GUID{v, 0x0000, 0x1000, {0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB}};
}

std::vector<uint8_t> Bytes(const void *p, size_t n)
{
    const uint8_t *b = static_cast<const uint8_t *>(p);
    return std::vector<uint8_t>(b, b + n);
}

} // namespace qortest
