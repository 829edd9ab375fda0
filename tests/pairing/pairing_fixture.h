#pragma once
// A pairing registration on the controller, the completion function that
// tests wait on, and the conversation helpers of the walk tests: expect the
// next request the driver received, answer it with event records.

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "QorLeLib.h"
#include "link/discovery.h"
#include "pairing/pairing.h"
#include "qortest.h"
#include "store_view.h"

namespace pairingtest {

// What the pairing completion function was called with.
struct Outcome {
    int calls = 0;
    ULONGLONG address = 0;
    DWORD success = 0xFFFFFFFF;
};

inline HANDLE g_done_event = nullptr;
inline Outcome g_outcome;

inline void WINAPI OnPairingDone(ULONGLONG address, DWORD success)
{
    ++g_outcome.calls;
    g_outcome.address = address;
    g_outcome.success = success;
    SetEvent(g_done_event);
}

struct ServiceAnswer {
    uint16_t s_handle, e_handle;
    LeUuid uuid;
};
struct CharAnswer {
    uint16_t handle;
    uint8_t properties;
    uint16_t val_handle;
    LeUuid uuid;
};
struct DescrAnswer {
    uint16_t handle;
    LeUuid uuid;
};

class PairingTest : public qortest::ControllerTest {
protected:
    static constexpr uint16_t kConn = 7;
    const uint8_t kBda[6] = {0x00, 0x1A, 0x7D, 0x00, 0x00, 0x07};

    void SetUp() override
    {
        qortest::ControllerTest::SetUp();
        address = storeview::TestAddress();
        storeview::DeleteDevice(address);
        g_outcome = Outcome();
        g_done_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ASSERT_EQ(QorGattPairingRegister(), 0u);
        channel = ctl.LibraryChannel();
        ASSERT_NE(channel, 0u);
    }

    void TearDown() override
    {
        if (pairing_gatt_if)
            QorGattPairingUnregister();
        ReleaseDiscoveryList();
        storeview::DeleteDevice(address);
        CloseHandle(g_done_event);
        g_done_event = nullptr;
    }

    void Post(const ZrEvent &ev) { ctl.PostEvent(ev, channel); }

    void Connect(uint16_t conn_id = kConn)
    {
        Post(qortest::ConnectionEvent(kBda, conn_id, 1));
        char line[128];
        std::snprintf(line, sizeof line, "LeDeviceConnectCallback 001a7d000007 gatt_if %d conn_id %d connected 1",
                      pairing_gatt_if, conn_id);
        ASSERT_TRUE(trace.WaitFor(line)) << trace.Dump();
    }

    // Starts a discovery and checks the all-services request.
    void Start()
    {
        ASSERT_EQ(QorGattPairingDiscover(address, OnPairingDone), 0u) << trace.Dump();
        ExpectDiscover(ZR_DISC_ALL_SERVICES, 1, 0xFFFF);
    }

    bool WaitDone(DWORD timeout_ms = 5000) { return WaitForSingleObject(g_done_event, timeout_ms) == WAIT_OBJECT_0; }

    // ---- the driver's side of the conversation ----

    void ExpectDiscover(uint8_t type, uint16_t s_handle, uint16_t e_handle)
    {
        ZrDiscoverReq want;
        std::memset(&want, 0, sizeof want);
        want.conn_id = conn;
        want.s_handle = s_handle;
        want.e_handle = e_handle;
        want.type = type;
        ExpectRequest(ZOREROVA_GATTC_DISCOVER, ++discovers, &want, sizeof want);
    }

    void ExpectRead(uint16_t handle)
    {
        ZrReadReq want;
        std::memset(&want, 0, sizeof want);
        want.conn_id = conn;
        want.type = 2;
        want.param.handle = handle;
        ExpectRequest(ZOREROVA_GATTC_READ, ++reads, &want, sizeof want);
    }

    // The n-th request of its kind, byte for byte.
    void ExpectRequest(uint32_t code, size_t n, const void *want, size_t size)
    {
        ASSERT_TRUE(ctl.WaitRequests(code, n)) << trace.Dump();
        VctlLogEntry e = ctl.Requests(code)[n - 1];
        ASSERT_EQ(e.in_len, size);
        EXPECT_EQ(qortest::Bytes(e.in, e.in_len), qortest::Bytes(want, size))
            << "request " << n << " of code 0x" << std::hex << code;
    }

    void Complete(uint8_t type, uint8_t status = 0) { Post(qortest::DiscCompleteEvent(conn, type, status)); }

    static ZrDiscResult Result(const LeUuid &attr_type, uint16_t handle)
    {
        ZrDiscResult r;
        std::memset(&r, 0, sizeof r);
        r.attr_type = attr_type;
        r.handle = handle;
        return r;
    }

    void AnswerServices(const std::vector<ServiceAnswer> &services)
    {
        for (const ServiceAnswer &s : services) {
            ZrDiscResult r = Result(qortest::Uuid16(0x2800), s.s_handle);
            r.u.service.e_handle = s.e_handle;
            r.u.service.uuid = s.uuid;
            Post(qortest::DiscResultEvent(conn, ZR_DISC_ALL_SERVICES, r));
        }
        Complete(ZR_DISC_ALL_SERVICES);
    }

    void AnswerIncluded(const std::vector<std::pair<uint16_t, ServiceAnswer>> &includes)
    {
        for (const auto &[decl, s] : includes) {
            ZrDiscResult r = Result(qortest::Uuid16(0x2802), decl);
            r.u.include.uuid = s.uuid;
            r.u.include.s_handle = s.s_handle;
            r.u.include.e_handle = s.e_handle;
            Post(qortest::DiscResultEvent(conn, ZR_DISC_INCLUDED, r));
        }
        Complete(ZR_DISC_INCLUDED);
    }

    void PostChar(const CharAnswer &c, uint16_t conn_id)
    {
        ZrDiscResult r = Result(qortest::Uuid16(0x2803), c.handle);
        r.u.chr.properties = c.properties;
        r.u.chr.val_handle = c.val_handle;
        r.u.chr.uuid = c.uuid;
        Post(qortest::DiscResultEvent(conn_id, ZR_DISC_CHARS, r));
    }

    void AnswerChars(const std::vector<CharAnswer> &chars)
    {
        for (const CharAnswer &c : chars)
            PostChar(c, conn);
        Complete(ZR_DISC_CHARS);
    }

    void PostDescr(const DescrAnswer &d, uint16_t conn_id)
    {
        Post(qortest::DiscResultEvent(conn_id, ZR_DISC_DESCRS, Result(d.uuid, d.handle)));
    }

    void AnswerDescrs(const std::vector<DescrAnswer> &descrs)
    {
        for (const DescrAnswer &d : descrs)
            PostDescr(d, conn);
        Complete(ZR_DISC_DESCRS);
    }

    void AnswerRead(uint16_t handle, const std::vector<uint8_t> &value, uint8_t status = 0)
    {
        Post(qortest::CompleteEvent(conn, 2, status, handle, value));
    }

    // Answers the all-services request with one service that includes none,
    // and checks the characteristics request for it.
    void RunToCharacteristics(uint16_t s_handle, uint16_t e_handle, uint16_t uuid)
    {
        AnswerServices({{s_handle, e_handle, qortest::Uuid16(uuid)}});
        ExpectDiscover(ZR_DISC_INCLUDED, s_handle, e_handle);
        AnswerIncluded({});
        ExpectDiscover(ZR_DISC_CHARS, s_handle, e_handle);
    }

    // A walk of a one-characteristic device 0x01-0x06, up to the descriptors
    // request for 0x04-0x06.
    void RunToDescriptors()
    {
        Start();
        RunToCharacteristics(0x01, 0x06, 0x180F);
        AnswerChars({{0x02, 0x12, 0x03, qortest::Uuid16(0x2A19)}});
        ExpectDiscover(ZR_DISC_DESCRS, 0x04, 0x06);
    }

    // The same walk up to the read of its one descriptor 0x04.
    void RunToDescriptorRead()
    {
        RunToDescriptors();
        AnswerDescrs({{0x04, qortest::Uuid16(0x2902)}});
        ExpectRead(0x04);
    }

    std::string Root() const { return storeview::ServicesKey(address); }

    ULONGLONG address = 0;
    uint32_t channel = 0;
    uint16_t conn = kConn;
    size_t discovers = 0;
    size_t reads = 0;
};

} // namespace pairingtest
