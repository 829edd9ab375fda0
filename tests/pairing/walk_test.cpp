// The discovery walk as a conversation with the driver: each case states the
// exact requests the library sends and answers them with raw event records.

#include <gtest/gtest.h>

#include "pairing_fixture.h"

using namespace pairingtest;
namespace sv = storeview;

namespace {

using Walk = PairingTest;

// Three primary services, a secondary one found only as included service,
// characteristics with empty descriptor ranges (adjacent declarations, value at
// the service end) and with descriptors, the five standard descriptors, a
// 128-bit and an unknown 16-bit descriptor.
TEST_F(Walk, WholeDatabaseInOrder)
{
    Play({Link(), Start(),
          Answer(1, {Svc(1, 7, U16(0x1800)), Svc(8, 0xE, U16(0x180F)), Svc(0x30, 0x40, kCustomService)}),
          Disc(3, 1, 7), Answer(3, {}), Disc(3, 8, 0xE), Answer(3, {Inc(9, 0x20, 0x25, U16(0x180A))}),
          Disc(3, 0x30, 0x40), Answer(3, {}), Disc(3, 0x20, 0x25), Answer(3, {}),   // the included one as well
          Disc(4, 1, 7), Answer(4, {Chr(2, 2, 3, U16(0x2A00)), Chr(4, 2, 5, U16(0x2A01)), Chr(6, 2, 7, U16(0x2A04))}),
          Disc(4, 8, 0xE), Answer(4, {Chr(0xA, 0x12, 0xB, U16(0x2A19))}), Disc(4, 0x30, 0x40),
          Answer(4, {Chr(0x31, 0x1A, 0x32, kCustomChar)}), Disc(4, 0x20, 0x25),
          Answer(4, {Chr(0x21, 2, 0x22, U16(0x2A29)), Chr(0x24, 2, 0x25, U16(0x2A24))}),
          // 0x1800 has no room for descriptors; the battery level's range runs to its service's end.
          Disc(5, 0xC, 0xE), Answer(5, {Dsc(0xC, U16(0x2902)), Dsc(0xD, U16(0x2904)), Dsc(0xE, U16(0x2901))}),
          Trace("DiscoveryComplete service 0x30-0x40 pCurChar handle:0x31 cur_service e_handle:0x40"),
          Disc(5, 0x33, 0x40), Answer(5, {Dsc(0x33, U16(0x2903)), Dsc(0x34, kCustomDescr), Dsc(0x35, U16(0x2905))}),
          Trace("DiscoveryComplete service 0x20-0x25 pCurChar handle:0x21 next char:0x24 discovey e_handle:0x23"),
          Disc(5, 0x23, 0x23), Answer(5, {Dsc(0x23, U16(0x2900))}),   // up to the next declaration
          Trace("DiscoveryComplete service 0x20-0x25 pCurChar handle:0x24 cur_service e_handle:0x25"),
          // Values in the order of the descriptors, service after service.
          Read(0xC), ReadAnswer(0xC, "0100"), Read(0xD), ReadAnswer(0xD, "04fe2f27010601"), Read(0xE),
          ReadAnswer(0xE, "42617474657279204c6576656c"), Read(0x33), ReadAnswer(0x33, "0100"), Read(0x34),
          ReadAnswer(0x34, "aabb"), Read(0x35), ReadAnswer(0x35, "01"), Read(0x23), ReadAnswer(0x23, "0100"),
          Done(1), NothingSent(), NoCallback(), NoTrace("LE - Discovery done")});
    // The store: the included service has a key of its own, and only the
    // standard descriptors carry values.
    const std::string root = Root(), level = LevelDescriptors();
    const std::string custom = root + "\\{7a1c0001-3d52-4e8b-9c61-2f0a5b8d4e17}\\Characteristics\\"
                                      "{7a1c0003-3d52-4e8b-9c61-2f0a5b8d4e17}\\Descriptors\\";
    EXPECT_EQ(sv::Subkeys(root).size(), 4u);
    EXPECT_EQ(sv::Dword(root + "\\180a", "s_handle"), 0x20);
    EXPECT_FALSE(sv::KeyExists(root + "\\180f\\Includes"));
    EXPECT_EQ(sv::Dword(level + "2902", "Value"), 1);
    EXPECT_EQ(sv::Read(level + "2904", "Value").data, Hex("04fe2f27010601"));
    EXPECT_EQ(sv::Text(level + "2901", "Value"), "Battery Level");
    EXPECT_EQ(sv::Subkeys(custom).size(), 3u);
    EXPECT_EQ(sv::Dword(custom + "2903", "Value"), 1);
    EXPECT_FALSE(sv::Read(custom + "{7a1c0009-3d52-4e8b-9c61-2f0a5b8d4e17}", "Value").present);
    EXPECT_EQ(sv::Dword(root + "\\180a\\Characteristics\\2a29\\Descriptors\\2900", "Value"), 1);
}

// Walks that end well without reading a value; the trace tells which step ended them.
TEST_F(Walk, WalksWithoutValues)
{
    Play({Link(), Start(), Answer(1, {}), Done(1), Trace("LE - Discovery done 0"),
          Returns(1, [this] { return EmptyTreeStored(); }),
          // A service without characteristics.
          ToCharacteristics(1, 5, 0x1800), Answer(4, {}), Done(1), Trace("LE - Discovery done 1"),
          // Adjacent declarations, then a value on the service's last handle.
          ToCharacteristics(1, 5, 0x1800), Answer(4, {Chr(2, 2, 3, U16(0x2A00)), Chr(4, 2, 5, U16(0x2A01))}),
          Done(1), Trace("LE - Discovery done 1"),
          // Descriptor ranges without descriptors.
          ToDescriptors(), Answer(5, {}), Done(1), Trace("LE - Discovery done 2"), NothingSent()});
}

TEST_F(Walk, RefusedRequestsAndFailedStepsEndTheWalk)
{
    ctl.ArmFault(ZOREROVA_GATTC_DISCOVER, VCTL_FAULT_STATUS, 0xC0000001u, 1, 1);
    ctl.ArmFault(ZOREROVA_GATTC_READ, VCTL_FAULT_STATUS, 0xC0000001u, 1, 1);
    Play({Link(), Start(), Answer(1, {Svc(1, 5, U16(0x1800))}), Disc(3, 1, 5), Done(0),
          Trace("LeDeviceDiscoveryComplete: conn_id=0x7 disc_type=0x1 status=0x1"),
          Trace("***** LeDeviceDiscoveryComplete: discovery failed"),
          Returns(0, [this] { return sv::KeyExists(Root()); }),
          // The gate is open again: a new discovery starts at once.
          Start(), Answer(1, {Svc(1, 5, U16(0x1800))}), Disc(3, 1, 5), Complete(3, 0x0A), Done(0),
          Trace("DiscoveryComplete conn_id 7 disc type:included service status:10"),
          Trace("LeDeviceDiscoveryComplete: conn_id=0x7 disc_type=0x1 status=0xa"), ToDescriptors(),
          Answer(5, {Dsc(4, U16(0x2902)), Dsc(5, U16(0x2901))}), Read(4), ReadAnswer(4, "0100"), Read(5), Done(0),
          Trace("LeDeviceDiscoveryComplete: conn_id=0x7 disc_type=0x1 status=0x1"), NothingSent()});
}

TEST_F(Walk, DescriptorValuesAsTheyCome)
{
    Play({Link(), ToCharacteristics(1, 8, 0x180F), Answer(4, {Chr(2, 0x12, 3, U16(0x2A19))}), Disc(5, 4, 8),
          Answer(5, {Dsc(4, U16(0x2901)), Dsc(5, U16(0x2902)), Dsc(6, U16(0x2901))}), Read(4),
          // A completion of another kind meanwhile is no descriptor value.
          Post("f8 0700 03 00 0700 0400 0000 0100 00 55"), Trace("LeDeviceCompleteCallback conn_id 7 op 3 status 0"),
          ReadAnswer(4, "78*512"), Read(5),   // the longest value there is
          ReadAnswer(5, "020099", 5), Read(6), ReadAnswer(6, "616263"),
          Done(1),   // a failed read stores what it carries
          Returns(3, [this] { return trace.CountPrefix("DiscoverClientCompleteCallback conn_id 7 op 2"); }),
          Returns(2, [this] { return sv::Dword(LevelDescriptors() + "2902", "Value"); }),
          Returns(1, [this] { return sv::Text(LevelDescriptors() + "2901", "Value") == "abc"; })});
    // Outside the value step a completion only traces.
    LeAttrValue value{};
    DiscoverClientCompleteCallback(7, 2, 0, &value);
    Play({Trace("DiscoverClientCompleteCallback conn_id 7 op 2 status 0"), NothingSent()});
}

TEST_F(Walk, ResultsOutsideTheWalkAreDropped)
{
    Play({Link(9), Link(),   // the walk runs on the last connection heard of
          Post("fd c800 01 0200 0028 00*14 0100"), Trace("DiscoveryResult bad conn_id:200"), Start(),
          Post(Chr(2, 2, 3, U16(0x2A00), 9)),   // a connection the walk does not hold
          Trace("DiscoveryResult conn_id=9 waited DiscoveryResult received=4 status=0"),
          // Characteristics and descriptors before their step has started.
          Post(Chr(2, 2, 3, U16(0x2A00))), Post(Dsc(4, U16(0x2902))), Answer(1, {Svc(1, 5, U16(0x1800))}),
          Disc(3, 1, 5), Post(Chr(2, 2, 3, U16(0x2A00))), Answer(3, {}), Disc(4, 1, 5), Answer(4, {}), Done(1),
          Trace("LE - Discovery done 1"), Returns(1, [this] { return sv::Subkeys(Root()).size(); }),
          Returns(0, [this] { return sv::KeyExists(Root() + "\\1800\\Characteristics"); }),
          // Late results of a released walk.
          ToDescriptors(), Complete(5, 0x81), Done(0), Do([this] { sv::DeleteDevice(address); }), Start(),
          Post(Dsc(4, U16(0x2902))), Post(Chr(2, 0x12, 3, U16(0x2A19))), Answer(1, {}), Done(1),
          Returns(1, [this] { return EmptyTreeStored(); }),
          NothingSent()});
}

TEST_F(Walk, StrayCompletionsChangeNothing)
{
    Play({Link(), Start(), Answer(1, {Svc(1, 6, U16(0x1800))}), Disc(3, 1, 6), Complete(4), Complete(5),
          Answer(3, {}), Disc(4, 1, 6), Answer(4, {Chr(2, 2, 3, U16(0x2A00))}), Disc(5, 4, 6), Answer(5, {}), Done(1),
          Trace("LE - Discovery done 2"),
          // After the end, completions of any step start nothing.
          Complete(3), Complete(4), Complete(5),
          Trace("DiscoveryComplete conn_id 7 disc type:characteristic descriptors status:0"), NothingSent(),
          NoCallback()});
}

// While the walk reads descriptor values, a read completion of another
// connection is that connection's own, and its discoveries do not end the walk;
// a walk goes on while an application registers and ends with a closing channel.
TEST_F(Walk, OtherConnectionsAndRegistrationsLeaveTheWalkAlone)
{
    LE_ADDRESS any = {};
    GUID app = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
    HQORREG reg = nullptr;
    Play({Link(9), Link(), ToDescriptorRead(),
          Returns(0, [&] { return QorGattRegister(&any, &app, nullptr, nullptr, nullptr, nullptr, &reg); }),
          ReadAnswer(0x30, "aabb", 0, 9), Trace("LeDeviceCompleteCallback conn_id 9 op 2 status 0"),
          NoTrace("DiscoverClientCompleteCallback conn_id 9"), Complete(1, 0x85, 9),
          Trace("DiscoveryComplete conn_id 9 disc type:discover all services status:133"), NoCallback(),
          ReadAnswer(4, "0200"), Done(1),
          Returns(2, [this] { return sv::Dword(LevelDescriptors() + "2902", "Value"); }),
          Returns(1, [this] { return sv::Subkeys(Root()).size(); }), Do([&] { QorGattDeregister(reg); }),
          // A channel that closes under a walk takes the walk with it, and the
          // owner hears of the failure.
          ToDescriptorRead(), Do([this] { ctl.FailRead(ctl.LibraryChannel(), 0xC0000001u); }),
          Trace("LE - ReadWorker: exits"), Sent(ZOREROVA_GATT_DEREGISTER, ""), Done(0),
          Returns(0, [] { return QorGattPairingUnregister(); }), Returns(0, [] { return QorGattPairingRegister(); }),
          Sent(ZOREROVA_GATT_REGISTER, "1000 40c19751 ac76 ca4e a12740068d8760f2", "01"), Link(),
          ReadAnswer(4, "0100"), Trace("LeDeviceCompleteCallback conn_id 7 op 2 status 0"),
          Returns(1, [this] { return trace.CountPrefix("DiscoverClientCompleteCallback"); }), NothingSent(),
          NoCallback()});
}

// Unregistering does not stop a walk that runs on: until it has ended, a new
// registration cannot start one that would release the list in use.
TEST_F(Walk, AWalkThatOutlivesItsRegistrationKeepsItsList)
{
    LE_ADDRESS any = {};
    GUID app = {0x2468ACE0, 0x1357, 0x1357, {1, 2, 3, 4, 5, 6, 7, 8}};
    HQORREG reg = nullptr;
    Play({Returns(0, [&] { return QorGattRegister(&any, &app, nullptr, nullptr, nullptr, nullptr, &reg); }), Link(),
          ToDescriptorRead(), Returns(0, [] { return QorGattPairingUnregister(); }),   // the channel stays open
          Returns(0, [] { return QorGattPairingRegister(); }),
          Returns(ERROR_BUSY, [this] { return QorGattPairingDiscover(address, OnPairingDone); }), NothingSent(),
          // The old walk ends, with no one to tell; the new registration (on the
          // same interface number) stores its list. Only then may a new walk
          // release that list.
          ReadAnswer(4, "0100"), Trace("ClientDiscoverComplete gatt_if=*"),
          Trace("LeDeviceDiscoveryComplete: LeDeviceDumpDiscoverDbToRegistry succeeded"), NoCallback(), Start(),
          Do([&] { QorGattDeregister(reg); })});
}

int g_again = 0;
void WINAPI DiscoverAgain(ULONGLONG address, DWORD success)
{
    OnPairingDone(address, success);
    if (g_again++ == 0)
        QorGattPairingDiscover(address, DiscoverAgain);
}

TEST_F(Walk, TheExportsRulesAndOutcomes)
{
    const std::string a = sv::AddressText(address), b = sv::AddressText(address + 1);
    Play({Returns(ERROR_INTERNAL_ERROR, [this] { return QorGattPairingDiscover(address, OnPairingDone); }),
          Trace("ClientEnterOp failed gatt_if=1 conn_id=65535"),
          Trace("GATTCIf_Discover failed to start gatt_if=1 conn_id=65535 type=1"),
          Trace("***** QorGattPairingDiscover: GATTCIf_Discover failed. addr=" + a + " status=0x1"), NothingSent(),
          Link(),
          Do([this] { ctl.ArmFault(ZOREROVA_GATTC_DISCOVER, VCTL_FAULT_STATUS, 0xC0000001u); }),
          Returns(ERROR_INTERNAL_ERROR, [this] { return QorGattPairingDiscover(address, OnPairingDone); }),
          Disc(1, 1, 0xFFFF), Trace("***** QorGattPairingDiscover: GATTCIf_Discover failed. addr=" + a + " status=0x1"),
          // A second discovery while one runs.
          Start(), Returns(ERROR_BUSY, [this] { return QorGattPairingDiscover(address + 1, OnPairingDone); }),
          Trace("***** QorGattPairingDiscover: discovery is in progress for " + a + ". addr=" + b), NothingSent(),
          Answer(1, {}), Done(1), Trace("LE - Discovery done 0"),
          // The completion function may start the next discovery itself.
          Start(DiscoverAgain), Answer(1, {Svc(1, 5, U16(0x1800))}), Disc(3, 1, 5), Answer(3, {}), Disc(4, 1, 5),
          Answer(4, {}), Disc(1, 1, 0xFFFF), Done(1),
          Returns(ERROR_BUSY, [this] { return QorGattPairingDiscover(address + 1, OnPairingDone); }),
          Do([this] { sv::DeleteDevice(address); }), Answer(1, {}), Done(1), Trace("LE - Discovery done 0"),
          Returns(1, [this] { return EmptyTreeStored(); }),
          // Without a completion function, and with a store that cannot be written.
          Start(nullptr), Answer(1, {}), Trace("LeDeviceDiscoveryComplete: LeDeviceDumpDiscoverDbToRegistry succeeded"),
          Trace("LE - Discovery done 0"), NoCallback(), Do([this] {
              sv::DeleteDevice(address);
              ASSERT_TRUE(sv::CreateVolatile(sv::DeviceKey(address)));
          }),
          Start(), Answer(1, {}), Done(0),
          Trace("***** LeDeviceDiscoveryComplete: LeDeviceDumpDiscoverDbToRegistry failed. err=1021"),
          Trace("LE - Discovery done 0"),
          // After the device has left.
          Link(7, 0), Returns(ERROR_INTERNAL_ERROR, [this] { return QorGattPairingDiscover(address, OnPairingDone); }),
          Trace("GATTCIf_Discover failed to start gatt_if=1 conn_id=255 type=1"), NothingSent(),
          // The registration itself.
          Returns(ERROR_BUSY, [] { return QorGattPairingRegister(); }),
          Trace("***** QorGattPairingRegister: registered already"),
          Returns(0, [] { return QorGattPairingUnregister(); }), Trace("QorGattPairingUnregister: deregistered"),
          Returns(ERROR_BUSY, [] { return QorGattPairingUnregister(); }),
          Trace("***** QorGattPairingUnregister: is not registered"),
          // No discovery without the registration: nobody would end it.
          Returns(ERROR_BUSY, [this] { return QorGattPairingDiscover(address, OnPairingDone); }), NoCallback(),
          // Nor is the refused one under way: registered again, a discovery is tried.
          Returns(0, [] { return QorGattPairingRegister(); }),
          Returns(ERROR_INTERNAL_ERROR, [this] { return QorGattPairingDiscover(address, OnPairingDone); })});
}

} // namespace
