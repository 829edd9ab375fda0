// The client requests to the driver, each one fixed binary request handed to
// the driver with one control request, and the GATTCIf_ wrappers that hold the
// connection's client operation gate around them.

#include <cstring>

#include "link/link_private.h"
#include "trace/trace.h"

namespace {

constexpr uint8_t kReadType = 2;
constexpr uint8_t kConnectFlag = 1;

// One request with its traces.
LinkIo Send(const RequestLines &lines, uint32_t code, const void *in, DWORD in_len, void *out = nullptr,
            DWORD out_len = 0, DWORD *returned = nullptr)
{
    return LinkSend(lines, Answer::Any, code, in, in_len, out, out_len, returned);
}

uint8_t DriverStatus(LinkIo io)
{
    switch (io) {
    case LinkIo::Done:
        return kDriverAccepted;
    case LinkIo::Refused:
        return kDriverRefused;
    default:
        return kDriverNotOpen;
    }
}

uint8_t SendConnect(const RequestLines &lines, uint32_t code, uint8_t gatt_if, const uint8_t *bda)
{
    ZrConnectReq req = {};
    req.gatt_if = gatt_if;
    std::memcpy(req.bda, bda, sizeof req.bda);
    req.direct = kConnectFlag;
    return Send(lines, code, &req, sizeof req) == LinkIo::Done ? 1 : 0;
}

// A gated request that failed gives the gate back.
uint8_t ExitOnFailure(uint16_t conn_id, uint8_t status)
{
    if (status != kDriverAccepted)
        ClientExitOp(conn_id);
    return status;
}

} // namespace

uint8_t GATT_Connect(uint8_t gatt_if, const uint8_t *bda, uint8_t)
{
    LeTrace("GATT_Connect gatt_if=%d %08x%04x", gatt_if, BdaHigh(bda), BdaLow(bda));
    static const RequestLines lines = {"GATT_Connect not registered", "GATT_Connect - event allocation failed",
                                       "GATT_Connect - Client connect failed - %d"};
    return SendConnect(lines, ZOREROVA_GATT_CONNECT, gatt_if, bda);
}

uint8_t GATT_CancelConnect(uint8_t gatt_if, const uint8_t *bda, uint8_t)
{
    LeTrace("GATT_CancelConnect gatt_if=%d %08x%04x", gatt_if, BdaHigh(bda), BdaLow(bda));
    static const RequestLines lines = {nullptr, "GATT_CancelConnect - event allocation failed",
                                       "GATT_CancelConnect - failed - %d"};
    return SendConnect(lines, ZOREROVA_GATT_CANCEL_CONNECT, gatt_if, bda);
}

uint8_t GATTC_Discover(uint16_t conn_id, uint8_t type, const disc_param *param)
{
    LeTrace("GATTC_Discover conn_id=%d type=%d", conn_id, type);
    ZrDiscoverReq req = {};
    req.conn_id = conn_id;
    req.type = type;
    if (param) {
        req.s_handle = param->s_handle;
        req.e_handle = param->e_handle;
        LeTrace("GATTC_Discover conn_id=%d %s s_handle:%x e_handle:%x", conn_id, DiscTypeName(type), req.s_handle,
                req.e_handle);
    } else {
        LeTrace("GATTC_Discover conn_id=%d %s", conn_id, DiscTypeName(type));
    }
    static const RequestLines lines = {"GATTC_Discover not registered", "GATTC_Discover - event allocation failed",
                                       "GATTC_Discover - failed - %d"};
    return DriverStatus(Send(lines, ZOREROVA_GATTC_DISCOVER, &req, sizeof req));
}

uint8_t GATTC_Read(uint16_t conn_id, uint8_t, const read_param *param)
{
    LeTrace("GATTC_Read conn_id=%d type=%d", conn_id, kReadType);
    ZrReadReq req = {};
    req.conn_id = conn_id;
    req.type = kReadType;
    if (param)
        req.param = *param;
    static const RequestLines lines = {"GATTC_Read not registered", "GATTC_Read - event allocation failed",
                                       "GATTC_Read - failed - %d"};
    return DriverStatus(Send(lines, ZOREROVA_GATTC_READ, &req, sizeof req));
}

uint8_t GATTCIf_Discover(uint8_t gatt_if, uint16_t conn_id, const disc_param *param)
{
    if (ClientEnterOp(gatt_if, conn_id, ZR_OP_DISCOVERY)) {
        LeTrace("GATTCIf_Discover failed to start gatt_if=%d conn_id=%d type=%d", gatt_if, conn_id, ZR_OP_DISCOVERY);
        return kDriverRefused;
    }
    return ExitOnFailure(conn_id, GATTC_Discover(conn_id, ZR_DISC_ALL_SERVICES, param));
}

uint8_t GATTCIf_Read(uint8_t gatt_if, uint16_t conn_id, uint8_t, const read_param *param)
{
    if (ClientEnterOp(gatt_if, conn_id, ZR_OP_READ)) {
        LeTrace("GATTCIf_ failed to start gatt_if=%d conn_id=%d type=%d", gatt_if, conn_id, ZR_OP_READ);
        return kDriverRefused;
    }
    return ExitOnFailure(conn_id, GATTC_Read(conn_id, kReadType, param));
}

uint8_t GATTCIf_Write(uint8_t gatt_if, uint16_t conn_id, uint8_t type, const LeAttrValue *value)
{
    if (ClientEnterOp(gatt_if, conn_id, ZR_OP_WRITE)) {
        LeTrace("GATTCIf_Write failed to start gatt_if=%d conn_id=%d type=%d", gatt_if, conn_id, type);
        return kDriverRefused;
    }
    LeTrace("GATTCIf_Write conn_id=%d type=%d", conn_id, type);
    ZrWriteReq req = {};
    req.conn_id = conn_id;
    req.type = type;
    if (value)
        req.value = *value;
    static const RequestLines lines = {"GATTCIf_Write not registered", "GATTCIf_Write - event allocation failed",
                                       nullptr};
    uint8_t result = 0;
    DWORD returned = 0;
    LinkIo io = Send(lines, ZOREROVA_GATTC_WRITE, &req, sizeof req, &result, sizeof result, &returned);
    if (io == LinkIo::Done && returned == sizeof result) {
        if (result == 0)
            return kDriverAccepted;   // the completion gives the gate back
        LeTrace("GATTCIf_Write - completed with bad result:%d", result);
        return ExitOnFailure(conn_id, kDriverRefused);
    }
    if (io == LinkIo::Done || io == LinkIo::Refused)
        LeTrace("GATTCIf_Write - failed - %d nBytes %d", static_cast<int>(GetLastError()),
                static_cast<int>(returned));
    return ExitOnFailure(conn_id, DriverStatus(io == LinkIo::Done ? LinkIo::Refused : io));
}

uint8_t GATTCIf_SendHandleValueConfirm(uint8_t gatt_if, uint16_t conn_id, uint16_t handle)
{
    if (ClientEnterOp(gatt_if, conn_id, ZR_OP_CONFIRM)) {
        LeTrace("GATTCIf_SendHandleValueConfirm failed to start gatt_if=%d conn_id=%d handle=%d", gatt_if, conn_id,
                handle);
        return kDriverRefused;
    }
    LeTrace("GATTCIf_SendHandleValueConfirm conn_id=%d handle=0x%x", conn_id, handle);
    ZrConfirmReq req = {};
    req.conn_id = conn_id;
    req.handle = handle;
    static const RequestLines lines = {"GATTCIf_SendHandleValueConfirm not registered",
                                       "GATTCIf_SendHandleValueConfirm - event allocation failed",
                                       "GATTCIf_SendHandleValueConfirm - failed - %d"};
    uint8_t status = DriverStatus(Send(lines, ZOREROVA_GATTC_CONFIRM, &req, sizeof req));
    ClientExitOp(conn_id);   // no completion follows a confirmation
    return status;
}
