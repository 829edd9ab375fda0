// Pairing discovery end to end: a simulated remote device answers the walk,
// the exports are all the test uses, and the registry is read back.

#include <gtest/gtest.h>

#include <algorithm>

#include "devices.h"
#include "pairing_fixture.h"

using namespace pairingtest;
using devices::kCustomCharName;
using devices::kCustomDescrName;
using devices::kCustomServiceName;
using qortest::Uuid16;
namespace sv = storeview;

namespace {

const uint8_t kSensor[6] = {0xC0, 0x11, 0x22, 0x33, 0x44, 0x55};
const uint8_t kOther[6] = {0xC0, 0x11, 0x22, 0x33, 0x44, 0x66};

class Pairing : public PairingTest {
protected:
    std::string LinkLine(const uint8_t bda[6]) const
    {
        char line[96];
        std::snprintf(line, sizeof line, "LeDeviceConnectCallback %02x%02x%02x%02x%02x%02x gatt_if %d conn_id ", bda[0],
                      bda[1], bda[2], bda[3], bda[4], bda[5], pairing_gatt_if);
        return line;
    }

    void ConnectDevice(const uint8_t bda[6], const qortest::GattDb &db)
    {
        ctl.AddDevice(bda, db, 0);
        ctl.SetLink(bda, true);
        ASSERT_TRUE(trace.WaitForPrefix(LinkLine(bda))) << trace.Dump();
        trace.Clear();
    }

    // Drops the link and waits until the pairing registration has heard of it,
    // so that a later connection is not mistaken for it.
    void DisconnectDevice(const uint8_t bda[6])
    {
        std::string line = LinkLine(bda) + std::to_string(pairing_conn_id) + " connected 0";
        ctl.SetLink(bda, false);
        ASSERT_TRUE(trace.WaitFor(line)) << trace.Dump();
        trace.Clear();
    }

    // Runs a whole discovery; the success flag the completion function got.
    DWORD Pair()
    {
        ResetEvent(g_done_event);
        EXPECT_EQ(QorGattPairingDiscover(address, OnPairingDone), 0u) << trace.Dump();
        EXPECT_TRUE(WaitDone()) << trace.Dump();
        EXPECT_EQ(g_outcome.address, address);
        return g_outcome.success;
    }

    std::string Char(const std::string &service, const std::string &chr) const
    {
        return Root() + "\\" + service + "\\Characteristics\\" + chr;
    }
};

std::vector<std::string> Sorted(std::vector<std::string> v)
{
    std::sort(v.begin(), v.end());
    return v;
}

TEST_F(Pairing, HeartRateSensorIsStored)
{
    ConnectDevice(kSensor, devices::HeartRateSensor());
    ASSERT_EQ(Pair(), 1u);
    EXPECT_EQ(g_outcome.calls, 1);
    EXPECT_TRUE(trace.Contains("LeDeviceDiscoveryComplete: LeDeviceDumpDiscoverDbToRegistry succeeded"));

    // The included battery service is the primary one's key.
    EXPECT_EQ(Sorted(sv::Subkeys(Root())),
              (std::vector<std::string>{"1800", "180a", "180d", "180f", kCustomServiceName}));
    EXPECT_EQ(sv::Dwords(Root() + "\\180f", {"s_handle", "e_handle"}), (sv::Numbers{6, 10}));
    EXPECT_EQ(sv::Dwords(Root() + "\\180d", {"s_handle", "e_handle"}), (sv::Numbers{11, 21}));
    EXPECT_EQ(sv::Dword(Root() + "\\" + kCustomServiceName, "e_handle"), 32);
    EXPECT_FALSE(sv::KeyExists(Root() + "\\180d\\Includes"));

    std::string name = Char("1800", "2a00");
    EXPECT_EQ(sv::Dwords(name, {"AttrHandle", "Properties", "ValueHandle"}), (sv::Numbers{2, 2, 3}));
    EXPECT_TRUE(sv::Subkeys(name).empty());

    std::string level = Char("180f", "2a19") + "\\Descriptors";
    EXPECT_EQ(Sorted(sv::Subkeys(level)), (std::vector<std::string>{"2902", "2904"}));
    EXPECT_EQ(sv::Dwords(level + "\\2902", {"Handle", "Value"}), (sv::Numbers{9, 0}));
    sv::Value format = sv::Read(level + "\\2904", "Value");
    EXPECT_EQ(format.type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(format.data, (std::vector<uint8_t>{0x04, 0x00, 0xAD, 0x27, 0x01, 0x00, 0x00}));

    std::string hr = Char("180d", "2a37");
    EXPECT_EQ(sv::Dword(hr, "Properties"), 0x10);
    EXPECT_EQ(sv::Dword(hr + "\\Descriptors\\2902", "Value"), 1);
    EXPECT_EQ(sv::Text(hr + "\\Descriptors\\2901", "Value"), "Heart Rate");
    EXPECT_EQ(sv::Read(hr + "\\Descriptors\\2901", "Value").data.size(), 11u);
    EXPECT_TRUE(sv::Subkeys(Char("180d", "2a38")).empty());   // its value is followed by the next declaration
    EXPECT_EQ(sv::Dwords(Char("180d", "2a39") + "\\Descriptors\\2900", {"Handle", "Value"}), (sv::Numbers{21, 1}));

    EXPECT_EQ(Sorted(sv::Subkeys(Root() + "\\180a\\Characteristics")), (std::vector<std::string>{"2a24", "2a29"}));

    std::string custom = Char(kCustomServiceName, kCustomCharName) + "\\Descriptors";
    EXPECT_EQ(Sorted(sv::Subkeys(custom)), Sorted({"2903", "2905", kCustomDescrName}));
    EXPECT_EQ(sv::Dword(custom + "\\2903", "Value"), 1);
    EXPECT_EQ(sv::Values(custom + "\\2905"), std::vector<std::string>{"Handle"});
    EXPECT_EQ(sv::Values(custom + "\\" + kCustomDescrName), std::vector<std::string>{"Handle"});
    EXPECT_EQ(sv::Dword(custom + "\\" + kCustomDescrName, "Handle"), 31);

    // Every descriptor value was read once per service it belongs to (the
    // battery service twice: as primary and as included service).
    EXPECT_EQ(ctl.Requests(ZOREROVA_GATTC_READ).size(), 10u);
}

TEST_F(Pairing, FailedDescriptorReadStoresWhatCameBack)
{
    qortest::GattDb db;
    db.Service(Uuid16(0x180F));
    db.Characteristic(Uuid16(0x2A19), 0x12, {50});
    db.Descriptor(Uuid16(0x2902), {0x01, 0x00}, 0x02);   // read not permitted
    db.Descriptor(Uuid16(0x2901), devices::Text("Level"));
    ConnectDevice(kSensor, db);
    ASSERT_EQ(Pair(), 1u);
    std::string d = Char("180f", "2a19") + "\\Descriptors";
    EXPECT_EQ(sv::Dword(d + "\\2902", "Value"), 0);
    EXPECT_EQ(sv::Text(d + "\\2901", "Value"), "Level");
    EXPECT_TRUE(trace.Contains("DiscoverClientCompleteCallback conn_id " + std::to_string(pairing_conn_id) +
                               " op 2 status 2"));
}

TEST_F(Pairing, FailedDiscoveryStoresNothing)
{
    ConnectDevice(kSensor, devices::HeartRateSensor());
    ctl.ArmFault(ZOREROVA_GATTC_DISCOVER, VCTL_FAULT_EVENT_STATUS, 0x0A, 1, 2);
    EXPECT_EQ(Pair(), 0u);
    EXPECT_TRUE(trace.Contains("***** LeDeviceDiscoveryComplete: discovery failed"));
    EXPECT_FALSE(sv::KeyExists(Root()));
    EXPECT_EQ(ctl.Requests(ZOREROVA_GATTC_DISCOVER).size(), 3u);
    // Nothing is left behind: the next discovery runs to its end.
    EXPECT_EQ(Pair(), 1u);
    EXPECT_EQ(sv::Subkeys(Root()).size(), 5u);
}

// The address only names the key: the walk runs on the last connection the
// pairing registration heard of.
TEST_F(Pairing, TheLastConnectionIsDiscovered)
{
    ConnectDevice(kSensor, devices::HeartRateSensor());
    qortest::GattDb other;
    other.Service(Uuid16(0x1810));
    other.Characteristic(Uuid16(0x2A35), 0x20, {});
    ConnectDevice(kOther, other);
    ASSERT_EQ(Pair(), 1u);
    EXPECT_EQ(sv::Subkeys(Root()), std::vector<std::string>{"1810"});
}

TEST_F(Pairing, PairingAgainKeepsWhatIsGone)
{
    ConnectDevice(kSensor, devices::HeartRateSensor());
    ASSERT_EQ(Pair(), 1u);

    DisconnectDevice(kSensor);
    ctl.RemoveDevice(kSensor);
    qortest::GattDb smaller;
    smaller.Service(Uuid16(0x180F));
    smaller.Characteristic(Uuid16(0x2A19), 0x02, {10});
    ConnectDevice(kSensor, smaller);
    ASSERT_EQ(Pair(), 1u);

    EXPECT_EQ(sv::Subkeys(Root()).size(), 5u);
    EXPECT_EQ(sv::Dword(Root() + "\\180f", "e_handle"), 3);
    EXPECT_EQ(sv::Dword(Char("180f", "2a19"), "Properties"), 2);
    // The descriptors found the first time stay under the characteristic.
    EXPECT_EQ(sv::Subkeys(Char("180f", "2a19") + "\\Descriptors").size(), 2u);
}

} // namespace
