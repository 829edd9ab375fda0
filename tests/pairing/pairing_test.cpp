// Pairing discovery end to end: a simulated remote device answers the walk,
// the exports are all the test uses, and the registry is read back.

#include <algorithm>

#include "devices.h"
#include "pairing_fixture.h"

using namespace pairingtest;
namespace sv = storeview;

namespace {

const uint8_t kSensor[6] = {0xC0, 0x11, 0x22, 0x33, 0x44, 0x55};
const uint8_t kOther[6] = {0xC0, 0x11, 0x22, 0x33, 0x44, 0x66};

class Pairing : public PairingTest {
protected:
    // The device joins (or leaves) and the pairing registration hears of it.
    Script Joins(const uint8_t bda[6], const GattDb &db)
    {
        return {Do([this, bda, db] {
                    ctl.AddDevice(bda, db, 0);
                    ctl.SetLink(bda, true);
                }),
                Trace("LeDeviceConnectCallback " + ToHex(bda, 6, false) + " gatt_if 1 conn_id * connected 1")};
    }
    Script Leaves(const uint8_t bda[6])
    {
        return {Do([this, bda] { ctl.SetLink(bda, false); }),
                Trace("LeDeviceConnectCallback " + ToHex(bda, 6, false) + " gatt_if 1 conn_id * connected 0")};
    }
    Script Pair(int success)
    {
        return {Returns(0, [this] { return QorGattPairingDiscover(address, OnPairingDone); }), Done(success)};
    }
    std::string Char(const std::string &service, const std::string &chr) const
    {
        return Root() + "\\" + service + "\\Characteristics\\" + chr;
    }
    std::string Keys(const std::string &path) const
    {
        std::vector<std::string> keys = sv::Subkeys(path);
        std::sort(keys.begin(), keys.end());
        std::string all;
        for (const std::string &k : keys)
            all += k + " ";
        return all;
    }
};

TEST_F(Pairing, HeartRateSensorIsStored)
{
    Play({Joins(kSensor, devices::HeartRateSensor()), Pair(1),
          Trace("LeDeviceDiscoveryComplete: LeDeviceDumpDiscoverDbToRegistry succeeded")});
    // The included battery service is the primary one's key.
    EXPECT_EQ(Keys(Root()), "1800 180a 180d 180f {7a1c0001-3d52-4e8b-9c61-2f0a5b8d4e17} ");
    EXPECT_EQ(sv::Dwords(Root() + "\\180f", {"s_handle", "e_handle"}), (sv::Numbers{6, 10}));
    EXPECT_EQ(sv::Dwords(Root() + "\\180d", {"s_handle", "e_handle"}), (sv::Numbers{11, 21}));
    EXPECT_FALSE(sv::KeyExists(Root() + "\\180d\\Includes"));
    EXPECT_EQ(sv::Dwords(Char("1800", "2a00"), {"AttrHandle", "Properties", "ValueHandle"}), (sv::Numbers{2, 2, 3}));
    EXPECT_EQ(Keys(Char("1800", "2a00")), "");
    const std::string level = Char("180f", "2a19") + "\\Descriptors";
    EXPECT_EQ(Keys(level), "2902 2904 ");
    EXPECT_EQ(sv::Dwords(level + "\\2902", {"Handle", "Value"}), (sv::Numbers{9, 0}));
    EXPECT_EQ(sv::Read(level + "\\2904", "Value").type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(sv::Read(level + "\\2904", "Value").data, Hex("0400ad27010601"));
    const std::string hr = Char("180d", "2a37");
    EXPECT_EQ(sv::Dword(hr, "Properties"), 0x10);
    EXPECT_EQ(sv::Dword(hr + "\\Descriptors\\2902", "Value"), 1);
    EXPECT_EQ(sv::Read(hr + "\\Descriptors\\2901", "Value").data, Hex("4865617274205261746500"));
    EXPECT_EQ(Keys(Char("180d", "2a38")), "");   // its value is followed by the next declaration
    EXPECT_EQ(sv::Dwords(Char("180d", "2a39") + "\\Descriptors\\2900", {"Handle", "Value"}), (sv::Numbers{21, 1}));
    EXPECT_EQ(Keys(Root() + "\\180a\\Characteristics"), "2a24 2a29 ");
    const std::string custom =
        Char("{7a1c0001-3d52-4e8b-9c61-2f0a5b8d4e17}", "{7a1c0003-3d52-4e8b-9c61-2f0a5b8d4e17}") + "\\Descriptors\\";
    EXPECT_EQ(Keys(custom), "2903 2905 {7a1c0009-3d52-4e8b-9c61-2f0a5b8d4e17} ");
    EXPECT_EQ(sv::Dword(custom + "2903", "Value"), 1);
    EXPECT_EQ(sv::Values(custom + "2905"), std::vector<std::string>{"Handle"});
    EXPECT_EQ(sv::Values(custom + "{7a1c0009-3d52-4e8b-9c61-2f0a5b8d4e17}"), std::vector<std::string>{"Handle"});
    // Every descriptor value was read once per service it belongs to (the
    // battery service twice: as primary and as included service).
    EXPECT_EQ(ctl.Requests(ZOREROVA_GATTC_READ).size(), 10u);
}

TEST_F(Pairing, FailedReadsStoreWhatCameBackAndFailedDiscoveriesNothing)
{
    GattDb db;
    db.Service(Uuid16(0x180F));
    db.Characteristic(Uuid16(0x2A19), 0x12, {50});
    db.Descriptor(Uuid16(0x2902), {0x01, 0x00}, 0x02);   // read not permitted
    db.Descriptor(Uuid16(0x2901), devices::Text("Level"));
    Play({Joins(kSensor, db),
          Do([this] { ctl.ArmFault(ZOREROVA_GATTC_DISCOVER, VCTL_FAULT_EVENT_STATUS, 0x0A, 1, 2); }), Pair(0),
          Trace("***** LeDeviceDiscoveryComplete: discovery failed"),
          Returns(0, [this] { return sv::KeyExists(Root()); }), Pair(1),
          Trace("DiscoverClientCompleteCallback conn_id * op 2 status 2")});
    EXPECT_EQ(sv::Dword(Char("180f", "2a19") + "\\Descriptors\\2902", "Value"), 0);
    EXPECT_EQ(sv::Text(Char("180f", "2a19") + "\\Descriptors\\2901", "Value"), "Level");
}

// The address only names the key: the walk runs on the last connection the
// pairing registration heard of. Pairing again keeps what is gone.
TEST_F(Pairing, TheLastConnectionIsDiscoveredAndPairingAgainKeepsWhatIsGone)
{
    GattDb other, smaller;
    other.Service(Uuid16(0x1810));
    other.Characteristic(Uuid16(0x2A35), 0x20, {});
    smaller.Service(Uuid16(0x180F));
    smaller.Characteristic(Uuid16(0x2A19), 0x02, {10});
    Play({Joins(kOther, devices::HeartRateSensor()), Joins(kSensor, other), Pair(1)});
    EXPECT_EQ(Keys(Root()), "1810 ");
    Play({Leaves(kSensor), Leaves(kOther), Joins(kSensor, devices::HeartRateSensor()), Pair(1), Leaves(kSensor),
          Do([this] { ctl.RemoveDevice(kSensor); }), Joins(kSensor, smaller), Pair(1)});
    EXPECT_EQ(Keys(Root()), "1800 180a 180d 180f 1810 {7a1c0001-3d52-4e8b-9c61-2f0a5b8d4e17} ");
    EXPECT_EQ(sv::Dword(Root() + "\\180f", "e_handle"), 3);
    EXPECT_EQ(sv::Dword(Char("180f", "2a19"), "Properties"), 2);
    EXPECT_EQ(Keys(Char("180f", "2a19") + "\\Descriptors"), "2902 2904 ");   // found the first time
}

} // namespace
