// The discovery walk as a conversation with the driver: each test checks the
// exact request the library sent and answers it with raw event records.

#include <gtest/gtest.h>

#include "devices.h"
#include "pairing_fixture.h"

using namespace pairingtest;
using namespace devices;
using qortest::Uuid128;
using qortest::Uuid16;
namespace sv = storeview;

namespace {

class Walk : public PairingTest {
protected:
    // A walk that ends well without reading a value: the trace tells which
    // step ended it.
    void ExpectEndAfter(const char *done_line, size_t discover_requests)
    {
        ASSERT_TRUE(WaitDone()) << trace.Dump();
        EXPECT_TRUE(trace.WaitFor(done_line));
        EXPECT_EQ(g_outcome.success, 1u);
        EXPECT_EQ(ctl.Requests(ZOREROVA_GATTC_DISCOVER).size(), discover_requests);
        EXPECT_TRUE(ctl.Requests(ZOREROVA_GATTC_READ).empty());
    }

    // A new discovery once the one before has ended.
    void StartAgain()
    {
        ResetEvent(g_done_event);
        discovers = ctl.Requests(ZOREROVA_GATTC_DISCOVER).size();
        Start();
    }
};

const disc_service *ServiceAt(size_t index)
{
    const disc_service *s = disc_services;
    while (s && index--)
        s = s->next;
    return s;
}

// Three primary services, a secondary one found only as included service,
// characteristics with empty descriptor ranges (adjacent declarations, value at
// the service end) and with descriptors, the five standard descriptors, a
// 128-bit and an unknown 16-bit descriptor.
TEST_F(Walk, WholeDatabaseInOrder)
{
    Connect();
    Start();
    AnswerServices({{0x01, 0x07, Uuid16(0x1800)}, {0x08, 0x0E, Uuid16(0x180F)}, {0x30, 0x40, Uuid128(kCustomService)}});

    ExpectDiscover(ZR_DISC_INCLUDED, 0x01, 0x07);
    AnswerIncluded({});
    ExpectDiscover(ZR_DISC_INCLUDED, 0x08, 0x0E);
    AnswerIncluded({{0x09, {0x20, 0x25, Uuid16(0x180A)}}});
    ExpectDiscover(ZR_DISC_INCLUDED, 0x30, 0x40);
    AnswerIncluded({});
    ExpectDiscover(ZR_DISC_INCLUDED, 0x20, 0x25);   // the included service is searched as well
    AnswerIncluded({});

    ExpectDiscover(ZR_DISC_CHARS, 0x01, 0x07);
    AnswerChars({{0x02, 0x02, 0x03, Uuid16(0x2A00)}, {0x04, 0x02, 0x05, Uuid16(0x2A01)},
                 {0x06, 0x02, 0x07, Uuid16(0x2A04)}});
    ExpectDiscover(ZR_DISC_CHARS, 0x08, 0x0E);
    AnswerChars({{0x0A, 0x12, 0x0B, Uuid16(0x2A19)}});
    ExpectDiscover(ZR_DISC_CHARS, 0x30, 0x40);
    AnswerChars({{0x31, 0x1A, 0x32, Uuid128(kCustomChar)}});
    ExpectDiscover(ZR_DISC_CHARS, 0x20, 0x25);
    AnswerChars({{0x21, 0x02, 0x22, Uuid16(0x2A29)}, {0x24, 0x02, 0x25, Uuid16(0x2A24)}});

    // 0x1800 has no room for descriptors anywhere; the battery level's range
    // runs to its service's end.
    ExpectDiscover(ZR_DISC_DESCRS, 0x0C, 0x0E);
    AnswerDescrs({{0x0C, Uuid16(0x2902)}, {0x0D, Uuid16(0x2904)}, {0x0E, Uuid16(0x2901)}});
    ExpectDiscover(ZR_DISC_DESCRS, 0x33, 0x40);
    AnswerDescrs({{0x33, Uuid16(0x2903)}, {0x34, Uuid128(kCustomDescr)}, {0x35, Uuid16(0x2905)}});
    ExpectDiscover(ZR_DISC_DESCRS, 0x23, 0x23);   // up to the next declaration
    AnswerDescrs({{0x23, Uuid16(0x2900)}});

    // Values in the order of the descriptors, the first characteristic of the
    // next service after the last of the one before.
    const std::pair<uint16_t, std::vector<uint8_t>> values[] = {
        {0x0C, {0x01, 0x00}}, {0x0D, {0x04, 0xFE, 0x27, 0x00, 0x01, 0x00, 0x00}}, {0x0E, Text("Battery Level")},
        {0x33, {0x01, 0x00}}, {0x34, {0xAA, 0xBB}}, {0x35, {0x01}}, {0x23, {0x01, 0x00}}};
    for (const auto &[handle, value] : values) {
        ExpectRead(handle);
        AnswerRead(handle, value);
    }

    ASSERT_TRUE(WaitDone()) << trace.Dump();
    EXPECT_EQ(g_outcome.calls, 1);
    EXPECT_EQ(g_outcome.address, address);
    EXPECT_EQ(g_outcome.success, 1u);
    EXPECT_EQ(ctl.Requests(ZOREROVA_GATTC_DISCOVER).size(), discovers);
    EXPECT_EQ(ctl.Requests(ZOREROVA_GATTC_READ).size(), reads);
    EXPECT_EQ(trace.CountPrefix("LE - Discovery done"), 0u);

    // The search for descriptor ranges after each descriptor discovery.
    std::vector<std::string> searched;
    for (const std::string &l : trace.Lines())
        if (l.rfind("DiscoveryComplete service ", 0) == 0)
            searched.push_back(l);
    EXPECT_EQ(searched, (std::vector<std::string>{
                            "DiscoveryComplete service 0x30-0x40 pCurChar handle:0x31 cur_service e_handle:0x40\n",
                            "DiscoveryComplete service 0x20-0x25 pCurChar handle:0x21 next char:0x24 discovey "
                            "e_handle:0x23\n",
                            "DiscoveryComplete service 0x20-0x25 pCurChar handle:0x24 cur_service e_handle:0x25\n"}));

    // The list: primaries in order, the included one appended and flagged.
    const disc_service *incl = ServiceAt(3);
    ASSERT_NE(incl, nullptr);
    EXPECT_EQ(incl->included, 1);
    EXPECT_EQ(ServiceAt(0)->included, 0);
    const disc_char *level = ServiceAt(1)->chars;
    EXPECT_EQ(level->client_config, 1);
    EXPECT_EQ(level->format, 4);
    EXPECT_EQ(level->exponent, 0xFE);
    EXPECT_EQ(level->unit, 0x0027);
    EXPECT_EQ(level->name_space, 1);
    EXPECT_EQ(level->description, 0);
    EXPECT_STREQ(level->user_description, "Battery Level");
    EXPECT_EQ(ServiceAt(2)->chars->server_config, 1);
    EXPECT_EQ(incl->chars->ext_props, 1);

    // And the store: the included service has a key of its own, and only the
    // standard descriptors carry values.
    std::string root = Root();
    EXPECT_EQ(sv::Subkeys(root).size(), 4u);
    EXPECT_EQ(sv::Dword(root + "\\180a", "s_handle"), 0x20);
    EXPECT_FALSE(sv::KeyExists(root + "\\180f\\Includes"));
    std::string level_key = root + "\\180f\\Characteristics\\2a19\\Descriptors";
    EXPECT_EQ(sv::Read(level_key + "\\2904", "Value").data,
              (std::vector<uint8_t>{0x04, 0xFE, 0x27, 0x00, 0x01, 0x00, 0x00}));
    EXPECT_EQ(sv::Text(level_key + "\\2901", "Value"), "Battery Level");
    std::string custom = root + "\\" + kCustomServiceName + "\\Characteristics\\" + kCustomCharName + "\\Descriptors";
    EXPECT_EQ(sv::Subkeys(custom).size(), 3u);
    EXPECT_FALSE(sv::Read(custom + "\\" + kCustomDescrName, "Value").present);
    EXPECT_EQ(sv::Dword(root + "\\180a\\Characteristics\\2a29\\Descriptors\\2900", "Value"), 1);
}

TEST_F(Walk, NoServices)
{
    Connect();
    Start();
    AnswerServices({});
    ExpectEndAfter("LE - Discovery done 0", 1);
    EXPECT_TRUE(sv::KeyExists(Root()));
    EXPECT_TRUE(sv::Subkeys(Root()).empty());
}

TEST_F(Walk, ServicesWithoutCharacteristics)
{
    Connect();
    Start();
    RunToCharacteristics(0x01, 0x05, 0x1800);
    AnswerChars({});
    ExpectEndAfter("LE - Discovery done 1", 3);
}

TEST_F(Walk, NoRoomForDescriptors)
{
    Connect();
    Start();
    RunToCharacteristics(0x01, 0x05, 0x1800);
    // Adjacent declarations, then a value on the service's last handle.
    AnswerChars({{0x02, 0x02, 0x03, Uuid16(0x2A00)}, {0x04, 0x02, 0x05, Uuid16(0x2A01)}});
    ExpectEndAfter("LE - Discovery done 1", 3);
}

TEST_F(Walk, RangesWithoutDescriptors)
{
    Connect();
    RunToDescriptors();
    AnswerDescrs({});
    ExpectEndAfter("LE - Discovery done 2", 4);
}

// ---- ends with a failure ----

TEST_F(Walk, RefusedDiscoverEndsTheWalkAndOpensTheGate)
{
    Connect();
    ctl.ArmFault(ZOREROVA_GATTC_DISCOVER, VCTL_FAULT_STATUS, 0xC0000001u, 1, 1);
    Start();
    AnswerServices({{0x01, 0x05, Uuid16(0x1800)}});
    ASSERT_TRUE(WaitDone()) << trace.Dump();
    EXPECT_EQ(g_outcome.success, 0u);
    EXPECT_TRUE(trace.Contains("***** LeDeviceDiscoveryComplete: discovery failed"));
    EXPECT_TRUE(trace.Contains("LeDeviceDiscoveryComplete: conn_id=0x7 disc_type=0x1 status=0x1"));
    EXPECT_FALSE(sv::KeyExists(Root()));
    // The gate is open again: a new discovery starts at once.
    StartAgain();
}

TEST_F(Walk, FailedDiscoveryCompleteEndsTheWalk)
{
    Connect();
    Start();
    AnswerServices({{0x01, 0x05, Uuid16(0x1800)}});
    ExpectDiscover(ZR_DISC_INCLUDED, 0x01, 0x05);
    Complete(ZR_DISC_INCLUDED, 0x0A);
    ASSERT_TRUE(WaitDone()) << trace.Dump();
    EXPECT_EQ(g_outcome.success, 0u);
    EXPECT_TRUE(trace.Contains("DiscoveryComplete conn_id 7 disc type:included service status:10"));
    EXPECT_TRUE(trace.Contains("LeDeviceDiscoveryComplete: conn_id=0x7 disc_type=0x1 status=0xa"));
    EXPECT_EQ(ctl.Requests(ZOREROVA_GATTC_DISCOVER).size(), 2u);
}

TEST_F(Walk, RefusedDescriptorReadEndsTheWalk)
{
    Connect();
    ctl.ArmFault(ZOREROVA_GATTC_READ, VCTL_FAULT_STATUS, 0xC0000001u, 1, 1);
    RunToDescriptors();
    AnswerDescrs({{0x04, Uuid16(0x2902)}, {0x05, Uuid16(0x2901)}});
    ExpectRead(0x04);
    AnswerRead(0x04, {0x01, 0x00});
    ASSERT_TRUE(WaitDone()) << trace.Dump();
    EXPECT_EQ(g_outcome.success, 0u);
    EXPECT_EQ(ctl.Requests(ZOREROVA_GATTC_READ).size(), 2u);
    EXPECT_TRUE(trace.Contains("LeDeviceDiscoveryComplete: conn_id=0x7 disc_type=0x1 status=0x1"));
}

// ---- descriptor values ----

TEST_F(Walk, DescriptorValuesAsTheyCome)
{
    Connect();
    Start();
    RunToCharacteristics(0x01, 0x08, 0x180F);
    AnswerChars({{0x02, 0x12, 0x03, Uuid16(0x2A19)}});
    ExpectDiscover(ZR_DISC_DESCRS, 0x04, 0x08);
    AnswerDescrs({{0x04, Uuid16(0x2901)}, {0x05, Uuid16(0x2902)}, {0x06, Uuid16(0x2901)}});

    ExpectRead(0x04);
    // A completion of another kind meanwhile is no descriptor value.
    Post(qortest::CompleteEvent(conn, 3, 0, 0x04, {0x55}));
    ASSERT_TRUE(trace.WaitFor("LeDeviceCompleteCallback conn_id 7 op 3 status 0"));
    AnswerRead(0x04, std::vector<uint8_t>(512, 'x'));   // the longest value there is
    ExpectRead(0x05);
    AnswerRead(0x05, {0x02, 0x00, 0x99}, 0x05);          // a failed read stores what it carries
    ExpectRead(0x06);
    AnswerRead(0x06, Text("abc"));
    ASSERT_TRUE(WaitDone()) << trace.Dump();

    const disc_char *c = disc_services->chars;
    EXPECT_EQ(c->client_config, 2);
    EXPECT_STREQ(c->user_description, "abc");
    EXPECT_EQ(c->user_description[3], 0);
    EXPECT_EQ(c->user_description[4], 'x');   // what is left of the 512-byte text read before
    EXPECT_EQ(c->user_description[512], 0);
    EXPECT_EQ(ctl.Requests(ZOREROVA_GATTC_READ).size(), 3u);
    EXPECT_EQ(trace.CountPrefix("DiscoverClientCompleteCallback conn_id 7 op 2"), 3u);
}

TEST_F(Walk, CompletionsOutsideTheValueStepOnlyTrace)
{
    LeAttrValue value;
    std::memset(&value, 0, sizeof value);
    value.len = 2;
    trace.Clear();
    DiscoverClientCompleteCallback(kConn, 2, 0, &value);
    DiscoverClientCompleteCallback(kConn, 3, 0, &value);
    EXPECT_EQ(trace.Lines(), (std::vector<std::string>{"DiscoverClientCompleteCallback conn_id 7 op 2 status 0\n",
                                                       "DiscoverClientCompleteCallback conn_id 7 op 3 status 0\n"}));
    EXPECT_TRUE(ctl.Requests(ZOREROVA_GATTC_READ).empty());
}

// ---- results that belong to no walk ----

TEST_F(Walk, ResultsOutsideTheWalkAreDropped)
{
    Connect(9);
    Connect();   // the walk runs on the last connection heard of
    ZrDiscResult r;
    std::memset(&r, 0, sizeof r);
    r.handle = 1;
    Post(qortest::DiscResultEvent(200, ZR_DISC_ALL_SERVICES, r));
    ASSERT_TRUE(trace.WaitFor("DiscoveryResult bad conn_id:200"));

    Start();
    // A connection the walk does not hold.
    PostChar({0x02, 0x02, 0x03, Uuid16(0x2A00)}, 9);
    ASSERT_TRUE(trace.WaitFor("DiscoveryResult conn_id=9 waited DiscoveryResult received=4 status=0"));
    // Characteristics and descriptors before their step has started.
    PostChar({0x02, 0x02, 0x03, Uuid16(0x2A00)}, conn);
    PostDescr({0x04, Uuid16(0x2902)}, conn);
    AnswerServices({{0x01, 0x05, Uuid16(0x1800)}});
    ExpectDiscover(ZR_DISC_INCLUDED, 0x01, 0x05);
    PostChar({0x02, 0x02, 0x03, Uuid16(0x2A00)}, conn);
    AnswerIncluded({});
    ExpectDiscover(ZR_DISC_CHARS, 0x01, 0x05);
    AnswerChars({});
    ASSERT_TRUE(WaitDone()) << trace.Dump();
    ASSERT_NE(disc_services, nullptr);
    EXPECT_EQ(disc_services->chars, nullptr);
    EXPECT_EQ(disc_services->next, nullptr);
    EXPECT_TRUE(trace.WaitFor("LE - Discovery done 1"));   // traced after the callback
}

TEST_F(Walk, LateResultsOfAReleasedWalkAreDropped)
{
    Connect();
    RunToDescriptors();
    Complete(ZR_DISC_DESCRS, 0x81);   // ends the walk with the cursors on the old list
    ASSERT_TRUE(WaitDone()) << trace.Dump();

    StartAgain();   // releases the old list
    PostDescr({0x04, Uuid16(0x2902)}, conn);
    PostChar({0x02, 0x12, 0x03, Uuid16(0x2A19)}, conn);
    AnswerServices({});
    ASSERT_TRUE(WaitDone()) << trace.Dump();
    EXPECT_EQ(disc_services, nullptr);
    EXPECT_EQ(g_outcome.success, 1u);
}

// An application registering while a walk runs does not touch the walk's list.
TEST_F(Walk, ApplicationRegistrationKeepsTheList)
{
    Connect();
    Start();
    AnswerServices({{0x01, 0x05, Uuid16(0x1800)}, {0x06, 0x09, Uuid16(0x180F)}});
    ExpectDiscover(ZR_DISC_INCLUDED, 0x01, 0x05);

    LE_ADDRESS any = {};
    GUID app = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
    HQORREG reg = nullptr;
    ASSERT_EQ(QorGattRegister(&any, &app, nullptr, nullptr, nullptr, nullptr, &reg), 0u) << trace.Dump();

    AnswerIncluded({});
    ExpectDiscover(ZR_DISC_INCLUDED, 0x06, 0x09);
    AnswerIncluded({});
    ExpectDiscover(ZR_DISC_CHARS, 0x01, 0x05);
    AnswerChars({});
    ExpectDiscover(ZR_DISC_CHARS, 0x06, 0x09);
    AnswerChars({});
    ASSERT_TRUE(WaitDone()) << trace.Dump();
    EXPECT_EQ(g_outcome.success, 1u);
    EXPECT_EQ(sv::Subkeys(Root()).size(), 2u);
    QorGattDeregister(reg);
}

TEST_F(Walk, StrayCompletionsChangeNothing)
{
    Connect();
    Start();
    AnswerServices({{0x01, 0x06, Uuid16(0x1800)}});
    ExpectDiscover(ZR_DISC_INCLUDED, 0x01, 0x06);
    Complete(ZR_DISC_CHARS);    // not the step under way
    Complete(ZR_DISC_DESCRS);
    AnswerIncluded({});
    ExpectDiscover(ZR_DISC_CHARS, 0x01, 0x06);
    AnswerChars({{0x02, 0x02, 0x03, Uuid16(0x2A00)}});
    ExpectDiscover(ZR_DISC_DESCRS, 0x04, 0x06);
    AnswerDescrs({});
    ASSERT_TRUE(WaitDone()) << trace.Dump();
    ASSERT_TRUE(trace.WaitFor("LE - Discovery done 2"));

    // After the end, completions of any step start nothing.
    Complete(ZR_DISC_INCLUDED);
    Complete(ZR_DISC_CHARS);
    Complete(ZR_DISC_DESCRS);
    // Events are handled in order: the third of these lines means all three were.
    ASSERT_TRUE(trace.WaitForCount("DiscoveryComplete conn_id 7 disc type:characteristic descriptors status:0", 3));
    EXPECT_EQ(ctl.Requests(ZOREROVA_GATTC_DISCOVER).size(), 4u);
    EXPECT_EQ(g_outcome.calls, 1);
}

// ---- the exports ----

TEST_F(Walk, SecondDiscoveryWhileOneRuns)
{
    Connect();
    Start();
    ULONGLONG other = address + 1;
    EXPECT_EQ(QorGattPairingDiscover(other, OnPairingDone), static_cast<DWORD>(ERROR_BUSY));
    EXPECT_TRUE(trace.Contains("***** QorGattPairingDiscover: discovery is in progress for " +
                               sv::AddressText(address) + ". addr=" + sv::AddressText(other)));
    EXPECT_EQ(ctl.Requests(ZOREROVA_GATTC_DISCOVER).size(), 1u);
    AnswerServices({});
    ASSERT_TRUE(WaitDone()) << trace.Dump();
    EXPECT_EQ(g_outcome.address, address);
    StartAgain();   // accepted again after the callback
}

// While the walk reads descriptor values, a read completion of another
// connection is that connection's own: it reaches the registrations and the
// walk goes on with its own read.
TEST_F(Walk, ReadsOfOtherConnectionsAreNotTakenByTheWalk)
{
    Connect(9);
    Connect();
    RunToDescriptorRead();
    ASSERT_EQ(disc_stage, 5);

    Post(qortest::CompleteEvent(9, 2, 0, 0x0030, {0xAA, 0xBB}));
    ASSERT_TRUE(trace.WaitFor("LeDeviceCompleteCallback conn_id 9 op 2 status 0")) << trace.Dump();
    EXPECT_EQ(trace.CountPrefix("DiscoverClientCompleteCallback conn_id 9"), 0u);
    Post(qortest::DiscCompleteEvent(9, ZR_DISC_ALL_SERVICES, 0x85));   // nor do its discoveries end the walk
    ASSERT_TRUE(trace.WaitFor("DiscoveryComplete conn_id 9 disc type:discover all services status:133"));
    EXPECT_EQ(g_outcome.calls, 0);

    AnswerRead(0x04, {0x02, 0x00});
    ASSERT_TRUE(WaitDone()) << trace.Dump();
    EXPECT_EQ(g_outcome.success, 1u);
    EXPECT_EQ(disc_services->chars->client_config, 2);
}

// A channel that closes under a walk takes the walk with it: read completions
// on the next channel are not taken as descriptor values.
TEST_F(Walk, AChannelThatClosesEndsTheWalk)
{
    Connect();
    RunToDescriptorRead();
    ASSERT_EQ(disc_stage, 5);
    ctl.FailRead(channel, 0xC0000001u);
    ASSERT_TRUE(trace.WaitFor("LE - ReadWorker: exits")) << trace.Dump();
    EXPECT_EQ(disc_stage, 0);

    ASSERT_EQ(QorGattPairingUnregister(), 0u);
    ASSERT_EQ(QorGattPairingRegister(), 0u);
    channel = ctl.LibraryChannel();
    Connect();
    Post(qortest::CompleteEvent(kConn, 2, 0, 0x04, {0x01, 0x00}));
    ASSERT_TRUE(trace.WaitFor("LeDeviceCompleteCallback conn_id 7 op 2 status 0")) << trace.Dump();
    EXPECT_EQ(trace.CountPrefix("DiscoverClientCompleteCallback"), 0u);
    EXPECT_EQ(ctl.Requests(ZOREROVA_GATTC_READ).size(), 1u);
}

// Unregistering does not stop a walk that runs on: until it has ended, a new
// registration cannot start one that would release the list in use.
TEST_F(Walk, AWalkThatOutlivesItsRegistrationKeepsItsList)
{
    LE_ADDRESS any = {};
    GUID app = {0x2468ACE0, 0x1357, 0x1357, {1, 2, 3, 4, 5, 6, 7, 8}};
    HQORREG reg = nullptr;
    ASSERT_EQ(QorGattRegister(&any, &app, nullptr, nullptr, nullptr, nullptr, &reg), 0u) << trace.Dump();
    Connect();
    RunToDescriptorRead();

    ASSERT_EQ(QorGattPairingUnregister(), 0u);   // the application keeps the channel open
    ASSERT_EQ(QorGattPairingRegister(), 0u);   // the connection id is still known
    EXPECT_EQ(QorGattPairingDiscover(address, OnPairingDone), static_cast<DWORD>(ERROR_BUSY));
    EXPECT_EQ(ctl.Requests(ZOREROVA_GATTC_DISCOVER).size(), 4u);
    ASSERT_NE(disc_services, nullptr);

    AnswerRead(0x04, {0x01, 0x00});   // the old walk ends and is stored, with no one to tell
    ASSERT_TRUE(trace.WaitForPrefix("LeDeviceDiscoveryComplete: LeDeviceDumpDiscoverDbToRegistry")) << trace.Dump();
    EXPECT_EQ(g_outcome.calls, 0);
    StartAgain();   // and now a new one may start
    QorGattDeregister(reg);
}

void WINAPI DiscoverAgain(ULONGLONG address, DWORD success)
{
    OnPairingDone(address, success);
    if (g_outcome.calls == 1)
        QorGattPairingDiscover(address, DiscoverAgain);
}

// The completion function may start the next discovery itself.
TEST_F(Walk, DiscoveryStartedFromTheCompletionFunction)
{
    Connect();
    ASSERT_EQ(QorGattPairingDiscover(address, DiscoverAgain), 0u);
    ExpectDiscover(ZR_DISC_ALL_SERVICES, 1, 0xFFFF);
    RunToCharacteristics(0x01, 0x05, 0x1800);
    AnswerChars({});
    ExpectDiscover(ZR_DISC_ALL_SERVICES, 1, 0xFFFF);   // the second walk, on a fresh list
    EXPECT_EQ(g_outcome.calls, 1);
    EXPECT_TRUE(pairing_busy);
    AnswerServices({});
    ASSERT_TRUE(trace.WaitFor("LE - Discovery done 0")) << trace.Dump();
    EXPECT_EQ(g_outcome.calls, 2);
    EXPECT_EQ(disc_services, nullptr);
}

// Before any connection, when the driver refuses the request and after the
// device has left, a discovery cannot start; the gate is given back each time.
TEST_F(Walk, FailedStartsReportInternalError)
{
    EXPECT_EQ(QorGattPairingDiscover(address, OnPairingDone), static_cast<DWORD>(ERROR_INTERNAL_ERROR));
    std::vector<std::string> want = {
        "ClientEnterOp failed gatt_if=1 conn_id=65535\n",
        "GATTCIf_Discover failed to start gatt_if=1 conn_id=65535 type=1\n",
        "***** QorGattPairingDiscover: GATTCIf_Discover failed. addr=" + sv::AddressText(address) + " status=0x1\n",
    };
    std::vector<std::string> lines = trace.Lines();
    ASSERT_GE(lines.size(), want.size());
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()), want);
    EXPECT_TRUE(ctl.Requests(ZOREROVA_GATTC_DISCOVER).empty());
    EXPECT_EQ(g_outcome.calls, 0);
    EXPECT_FALSE(pairing_busy);

    Connect();
    ctl.ArmFault(ZOREROVA_GATTC_DISCOVER, VCTL_FAULT_STATUS, 0xC0000001u);
    trace.Clear();
    EXPECT_EQ(QorGattPairingDiscover(address, OnPairingDone), static_cast<DWORD>(ERROR_INTERNAL_ERROR));
    EXPECT_TRUE(trace.Contains(want[2].substr(0, want[2].size() - 1)));
    EXPECT_FALSE(pairing_busy);
    StartAgain();
    AnswerServices({});
    ASSERT_TRUE(WaitDone()) << trace.Dump();

    Post(qortest::ConnectionEvent(kBda, kConn, 0));
    ASSERT_TRUE(trace.WaitFor("LeDeviceConnectCallback 001a7d000007 gatt_if 1 conn_id 7 connected 0"));
    EXPECT_EQ(QorGattPairingDiscover(address, OnPairingDone), static_cast<DWORD>(ERROR_INTERNAL_ERROR));
    EXPECT_TRUE(trace.Contains("GATTCIf_Discover failed to start gatt_if=1 conn_id=255 type=1"));
    EXPECT_EQ(ctl.Requests(ZOREROVA_GATTC_DISCOVER).size(), 2u);
}

TEST_F(Walk, RegistrationRules)
{
    EXPECT_EQ(QorGattPairingRegister(), static_cast<DWORD>(ERROR_BUSY));
    EXPECT_TRUE(trace.Contains("***** QorGattPairingRegister: registered already"));
    EXPECT_EQ(pairing_gatt_if, 1);
    // The identity the driver was given.
    std::vector<VctlLogEntry> regs = ctl.Requests(ZOREROVA_GATT_REGISTER);
    ASSERT_EQ(regs.size(), 1u);
    EXPECT_EQ(qortest::Bytes(regs[0].in, regs[0].in_len),
              (std::vector<uint8_t>{0x10, 0x00, 0x40, 0xC1, 0x97, 0x51, 0xAC, 0x76, 0xCA, 0x4E, 0xA1, 0x27, 0x40,
                                    0x06, 0x8D, 0x87, 0x60, 0xF2}));

    EXPECT_EQ(QorGattPairingUnregister(), 0u);
    EXPECT_TRUE(trace.Contains("QorGattPairingUnregister: deregistered"));
    EXPECT_EQ(QorGattPairingUnregister(), static_cast<DWORD>(ERROR_BUSY));
    EXPECT_TRUE(trace.Contains("***** QorGattPairingUnregister: is not registered"));
    // No discovery without the registration: nobody would end it.
    EXPECT_EQ(QorGattPairingDiscover(address, OnPairingDone), static_cast<DWORD>(ERROR_BUSY));
    EXPECT_FALSE(pairing_busy);
}

TEST_F(Walk, CompletionWithoutCallbackFunction)
{
    Connect();
    ASSERT_EQ(QorGattPairingDiscover(address, nullptr), 0u);
    ExpectDiscover(ZR_DISC_ALL_SERVICES, 1, 0xFFFF);
    AnswerServices({});
    ASSERT_TRUE(trace.WaitFor("LeDeviceDiscoveryComplete: LeDeviceDumpDiscoverDbToRegistry succeeded"));
    EXPECT_TRUE(sv::KeyExists(Root()));
}

TEST_F(Walk, FailedStoreIsReportedAsFailure)
{
    ASSERT_TRUE(sv::CreateVolatile(sv::DeviceKey(address)));
    Connect();
    Start();
    AnswerServices({});
    ASSERT_TRUE(WaitDone()) << trace.Dump();
    EXPECT_EQ(g_outcome.success, 0u);
    EXPECT_TRUE(trace.Contains("***** LeDeviceDiscoveryComplete: LeDeviceDumpDiscoverDbToRegistry failed. err=1021"));
}

} // namespace
