// QorGattRegister and QorGattDeregister against the virtual controller: the
// duplicate rules, a refused interface, the devices a registration hears of
// first, and the device records a deregistration drops.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "client_util.h"
#include "qortest.h"

using namespace clienttest;

namespace {

const GUID kAppA = {0x1F0A4C2B, 0x7D11, 0x4E0C, {0x9A, 0x52, 0x33, 0x10, 0xC4, 0x8E, 0x01, 0xA1}};
const GUID kAppB = {0x1F0A4C2B, 0x7D11, 0x4E0C, {0x9A, 0x52, 0x33, 0x10, 0xC4, 0x8E, 0x01, 0xB2}};
constexpr ULONGLONG kDevX = 0x0000A1B2C3D4E5F6ull;
constexpr ULONGLONG kDevY = 0x0000112233445566ull;
constexpr ULONGLONG kDevZ = 0x0000CAFEF00D0001ull;
constexpr uint32_t kStatusAccessDenied = 0xC0000022;

Recorder *recorder = nullptr;

void WINAPI RecordConnect(PVOID context, PLE_ADDRESS address, DWORD connected)
{
    recorder->Add(ConnectDelivery(context, address, connected));
}

class Registration : public ClientTest {
protected:
    void SetUp() override
    {
        ClientTest::SetUp();
        recorder = &rec;
    }
    Recorder rec;
};

TEST_F(Registration, MissingArgumentsAreRefusedBeforeAnythingElseAndUnknownHandlesOnlyTrace)
{
    LE_ADDRESS a{};
    GUID g = kAppA;
    HQORREG h = reinterpret_cast<HQORREG>(0x5A5A);
    EXPECT_EQ(QorGattRegister(nullptr, &g, nullptr, nullptr, nullptr, nullptr, &h), 87u);
    EXPECT_EQ(QorGattRegister(&a, nullptr, nullptr, nullptr, nullptr, nullptr, &h), 87u);
    EXPECT_EQ(QorGattRegister(&a, &g, nullptr, nullptr, nullptr, nullptr, nullptr), 87u);
    EXPECT_EQ(h, reinterpret_cast<HQORREG>(0x5A5A));
    EXPECT_EQ(trace.Count("***QorLeApi:QorGattRegister invalid arguments \n"), 3u);
    EXPECT_FALSE(trace.Contains("***QorLeApi:QorGattRegister\n"));
    EXPECT_TRUE(ctl.Requests(ZOREROVA_GATT_REGISTER).empty());
    EXPECT_EQ(RegistrationCount(), 0u);

    // Deregistering what is not a registration only traces.
    QorGattDeregister(nullptr);
    EXPECT_TRUE(trace.Contains(Fmt("***QorLeApi:QorGattDeregister invalid handle hReg:%p\n", nullptr)));
    ASSERT_EQ(Register(0, kAppA, &h), 0u);
    int not_a_registration = 0;
    QorGattDeregister(&not_a_registration);
    EXPECT_TRUE(trace.Contains(Fmt("***QorLeApi:QorGattDeregister invalid handle hReg:%p\n", &not_a_registration)));
    QorGattDeregister(nullptr);
    EXPECT_EQ(trace.CountPrefix("***QorLeApi:QorGattDeregister invalid handle"), 3u);
    EXPECT_TRUE(IsAppRegistered(h));
    EXPECT_EQ(InterfaceOf(h), 1);
    EXPECT_TRUE(ctl.Requests(ZOREROVA_GATT_DEREGISTER).empty());
}

TEST_F(Registration, FirstRegistrationTakesInterfaceOneAndReturnsItsHandle)
{
    HQORREG h = nullptr;
    ASSERT_EQ(Register(0, kAppA, &h), 0u) << trace.Dump();
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(InterfaceOf(h), 1);
    EXPECT_TRUE(IsAppRegistered(h));

    std::vector<std::string> want = {
        "***QorLeApi:QorGattRegister\n",
        "***QorLeApi:QorGattRegister Init CS\n",
        "***QorLeApi:QorGattRegister First reg \n",
        "***QorLeApi:QorGattRegister succeeded\n",
        Fmt("***QorLeApi:QorGattRegister pFirst %p returning pApp %p\n", h, h),
    };
    std::vector<std::string> api;
    for (const std::string &line : trace.Lines())
        if (line.rfind("***QorLeApi:QorGattRegister", 0) == 0)
            api.push_back(line);
    EXPECT_EQ(api, want) << trace.Dump();

    // The driver learns the application's UUID as a 16-byte identity.
    auto reg = ctl.Requests(ZOREROVA_GATT_REGISTER);
    ASSERT_EQ(reg.size(), 1u);
    ASSERT_EQ(reg[0].in_len, sizeof(LeUuid));
    LeUuid sent;
    std::memcpy(&sent, reg[0].in, sizeof sent);
    EXPECT_EQ(sent.len, 16);
    EXPECT_EQ(std::memcmp(sent.value, &kAppA, 16), 0);

    auto *app = static_cast<QOR_APP_REG *>(h);
    HANDLE shutdown = app->hShutdownEvent;
    HANDLE events[3] = {app->hQueueEvent, app->hShutdownEvent, app->hStartedEvent};
    DWORD flags = 0;
    for (HANDLE e : events)
        ASSERT_TRUE(GetHandleInformation(e, &flags));
    HANDLE thread = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), app->hThread, GetCurrentProcess(), &thread, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    trace.Clear();
    Deregister(h);
    EXPECT_TRUE(trace.Contains(Fmt("***QorLeApi:QorGattDeregister pFirst %p dereg %p\n", h, h))) << trace.Dump();
    EXPECT_TRUE(trace.Contains(Fmt("***QorLeApi:QorGattDeregister() Set shutdown event %p\n", shutdown)));
    EXPECT_TRUE(trace.Contains(Fmt("***QorLeApi:QOR_APP_REG::CallbackThread() app deleting first %p\n", h)));
    EXPECT_EQ(RegistrationCount(), 0u);
    EXPECT_EQ(ctl.Requests(ZOREROVA_GATT_DEREGISTER).size(), 1u);
    // The thread ended after it had destroyed the registration, and closed its events.
    ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 1u);
    CloseHandle(thread);
    for (HANDLE e : events)
        EXPECT_FALSE(GetHandleInformation(e, &flags)) << e;
}

TEST_F(Registration, SameApplicationForEveryDeviceIsRegisteredOnce)
{
    HQORREG first = nullptr, h = nullptr;
    ASSERT_EQ(Register(0, kAppA, &first), 0u);
    EXPECT_EQ(Register(0, kAppA, &h), 1078u);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(Register(kDevX, kAppA, &h), 1078u);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(trace.Count("***QorLeApi:QorGattRegister already registered\n"), 2u);
    EXPECT_EQ(RegistrationCount(), 1u);

    // Another application is another matter.
    ASSERT_EQ(Register(0, kAppB, &h), 0u);
    EXPECT_EQ(InterfaceOf(h), 2);
    EXPECT_EQ(RegistrationCount(), 2u);
}

TEST_F(Registration, SameApplicationForOneDeviceIsRegisteredOncePerDevice)
{
    HQORREG onX = nullptr, h = nullptr;
    ASSERT_EQ(Register(kDevX, kAppA, &onX), 0u);
    EXPECT_EQ(Register(kDevX, kAppA, &h), 1078u);
    EXPECT_EQ(Register(0, kAppA, &h), 1078u);
    EXPECT_EQ(h, nullptr);

    // Another device: a registration of its own, with its own interface.
    HQORREG onY = nullptr;
    ASSERT_EQ(Register(kDevY, kAppA, &onY), 0u) << trace.Dump();
    EXPECT_NE(onY, onX);
    EXPECT_EQ(InterfaceOf(onX), 1);
    EXPECT_EQ(InterfaceOf(onY), 2);
    EXPECT_EQ(trace.CountPrefix("***QorLeApi:ERROR GATT_Register not new registration"), 0u);
    EXPECT_EQ(RegistrationCount(), 2u);

    // Each releases its own interface: the channel closes with the last one.
    Deregister(onX);
    EXPECT_TRUE(ctl.Requests(ZOREROVA_GATT_DEREGISTER).empty());
    Deregister(onY);
    EXPECT_EQ(ctl.Requests(ZOREROVA_GATT_DEREGISTER).size(), 1u);
}

TEST_F(Registration, RefusedInterfaceStillDeliversQueuedConnectionsThenGoes)
{
    ListDevice(kDevX, 3);
    ListDevice(kDevY, 4);
    ListDevice(kDevZ, 5);
    ctl.ArmFault(0, VCTL_FAULT_REFUSE_OPEN, kStatusAccessDenied);

    HQORREG h = reinterpret_cast<HQORREG>(0x5A5A);
    PVOID context = reinterpret_cast<PVOID>(0x1234);
    EXPECT_EQ(Register(0, kAppA, &h, RecordConnect, context), 6u);
    EXPECT_EQ(h, nullptr);
    EXPECT_TRUE(trace.Contains("***QorLeApi:ERROR GATT_Register failed\n")) << trace.Dump();
    for (ULONGLONG dev : {kDevX, kDevY, kDevZ})
        EXPECT_TRUE(trace.Contains(
            Fmt("***QorLeApi:QorGattRegister pDev->Address.ullLong 0x%I64x pAddress->ullLong 0x%I64x\n", dev, 0ull)));

    ASSERT_TRUE(rec.WaitCount(3)) << trace.Dump();
    std::vector<Delivery> seen = rec.Seen();
    std::vector<ULONGLONG> addresses;
    for (const Delivery &d : seen) {
        addresses.push_back(d.address);
        EXPECT_EQ(d.kind, 0);
        EXPECT_EQ(d.context, 0x1234u);
        EXPECT_EQ(d.status, 1u);
    }
    EXPECT_EQ(addresses, (std::vector<ULONGLONG>{kDevX, kDevY, kDevZ}));

    ASSERT_TRUE(trace.WaitForPrefix("~QOR_APP_REG() ")) << trace.Dump();
    EXPECT_EQ(RegistrationCount(), 0u);
    EXPECT_EQ(ListedAddresses(), (std::vector<ULONGLONG>{kDevX, kDevY, kDevZ}));

    // The channel was left closed: the next registration opens it.
    HQORREG again = nullptr;
    EXPECT_EQ(Register(0, kAppA, &again), 0u) << trace.Dump();
    EXPECT_EQ(InterfaceOf(again), 1);
}

TEST_F(Registration, NewRegistrationHearsOfConnectedDevicesItsFilterAccepts)
{
    ListDevice(kDevX, 1);
    ListDevice(kDevY, 1);
    ListDevice(kDevZ, 2);
    HQORREG onY = nullptr, all = nullptr, silent = nullptr;
    ASSERT_EQ(Register(kDevY, kAppA, &onY, RecordConnect, reinterpret_cast<PVOID>(7)), 0u);
    ASSERT_TRUE(rec.WaitCount(1));
    ASSERT_EQ(Register(0, kAppB, &all, RecordConnect, reinterpret_cast<PVOID>(8)), 0u);
    ASSERT_TRUE(rec.WaitCount(4));
    // Without a connection callback nothing is queued.
    const GUID kAppC = {0x2, 0x3, 0x4, {5, 6, 7, 8, 9, 10, 11, 12}};
    ASSERT_EQ(Register(0, kAppC, &silent), 0u);

    std::vector<std::pair<ULONGLONG, ULONGLONG>> seen;
    for (const Delivery &d : rec.Seen())
        seen.emplace_back(d.context, d.address);
    EXPECT_EQ(seen, (std::vector<std::pair<ULONGLONG, ULONGLONG>>{{7, kDevY}, {8, kDevX}, {8, kDevY}, {8, kDevZ}}));
    EXPECT_EQ(trace.CountPrefix("***QorLeApi:QorGattRegister pDev->Address.ullLong"), 4u);
}

TEST_F(Registration, DeregistrationDropsOnlyTheDevicesOfItsInterface)
{
    HQORREG a = nullptr, b = nullptr;
    ASSERT_EQ(Register(0, kAppA, &a), 0u);
    ASSERT_EQ(Register(0, kAppB, &b), 0u);
    // b's devices at the head and the tail of the list.
    ListDevice(kDevX, InterfaceOf(b));
    ListDevice(kDevY, InterfaceOf(a));
    ListDevice(kDevZ, InterfaceOf(b));

    Deregister(b);
    EXPECT_EQ(ListedAddresses(), (std::vector<ULONGLONG>{kDevY}));
    EXPECT_TRUE(ctl.Requests(ZOREROVA_GATT_DEREGISTER).empty());
    // The head registration is still the head; the other one left from behind it.
    EXPECT_TRUE(trace.Contains(Fmt("***QorLeApi:QOR_APP_REG::CallbackThread() app deleting pApp:%p\n", b)));
    EXPECT_EQ(pFirst, a);
    Deregister(a);
    EXPECT_TRUE(ListedAddresses().empty());
}

} // namespace
