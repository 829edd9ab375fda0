// The service store writer, fed with hand-built discovery lists and read back
// with the registry API; and the UUID text forms it shares with the reader.

#include <gtest/gtest.h>

#include <cstring>

#include "link/discovery.h"
#include "pairing/pairing.h"
#include "pairing/uuid_names.h"
#include "devices.h"
#include "store_view.h"

using qortest::BaseGuid;
using qortest::TraceCapture;
using qortest::Uuid128;
using qortest::Uuid16;
namespace sv = storeview;

namespace {

using namespace devices;

template <typename Node>
Node *Append(Node *&head, Node *node)
{
    Node **tail = &head;
    while (*tail)
        tail = &(*tail)->next;
    return *tail = node;
}

disc_service *Service(disc_service *&list, const LeUuid &uuid, uint16_t s_handle, uint16_t e_handle)
{
    disc_service *s = new disc_service();
    s->uuid = uuid;
    s->s_handle = s_handle;
    s->e_handle = e_handle;
    return Append(list, s);
}

disc_service *Service(const LeUuid &uuid, uint16_t s_handle, uint16_t e_handle)
{
    return Service(disc_services, uuid, s_handle, e_handle);
}

disc_char *Char(disc_service *s, const LeUuid &uuid, uint16_t handle, uint8_t props)
{
    disc_char *c = new disc_char();
    c->uuid = uuid;
    c->handle = handle;
    c->properties = props;
    c->val_handle = static_cast<uint16_t>(handle + 1);
    return Append(s->chars, c);
}

disc_descr *Descr(disc_char *c, const LeUuid &uuid, uint16_t handle)
{
    disc_descr *d = new disc_descr();
    d->uuid = uuid;
    d->handle = handle;
    return Append(c->descrs, d);
}

class Store : public ::testing::Test {
protected:
    void SetUp() override
    {
        address = sv::TestAddress();
        sv::DeleteDevice(address);
        pairing_addr = address;
        root = sv::ServicesKey(address);
    }
    void TearDown() override
    {
        ReleaseDiscoveryList();
        sv::DeleteDevice(address);
    }
    LSTATUS Dump() { return LeDeviceDumpDiscoverDbToRegistry(); }
    std::string AddressText() const { return sv::AddressText(address); }

    ULONGLONG address = 0;
    std::string root;
    TraceCapture trace;
};

TEST_F(Store, DeviceKeyIsTwelveLowerCaseDigits)
{
    ULONGLONG addr = 0x001A7DDA7113ULL;
    sv::DeleteDevice(addr);
    pairing_addr = addr;
    Service(Uuid16(0x180F), 1, 4);
    EXPECT_EQ(Dump(), ERROR_SUCCESS);
    EXPECT_TRUE(sv::KeyExists(
        "SYSTEM\\CurrentControlSet\\services\\BTHPORT\\Parameters\\Devices\\001a7dda7113\\Services\\180f"));
    EXPECT_TRUE(trace.Contains("LeDeviceDumpDiscoverDbToRegistry: exits. bda=001a7dda7113\n"));
    sv::DeleteDevice(addr);
}

TEST_F(Store, EmptyListCreatesTheRootAndSucceeds)
{
    EXPECT_EQ(Dump(), ERROR_SUCCESS);
    EXPECT_TRUE(sv::KeyExists(root));
    EXPECT_TRUE(sv::Subkeys(root).empty());
    EXPECT_TRUE(sv::Values(root).empty());
    EXPECT_EQ(trace.Lines().size(), 1u) << trace.Dump();
}

TEST_F(Store, ServiceCharacteristicAndDescriptorLayout)
{
    disc_service *bas = Service(Uuid16(0x180F), 0x10, 0x16);
    disc_char *level = Char(bas, Uuid16(0x2A19), 0x11, 0x12);
    level->client_config = 0x0001;
    level->format = 4;
    level->exponent = 0;
    level->unit = 0x272F;
    level->name_space = 1;
    level->description = 0;
    Descr(level, Uuid16(0x2902), 0x13);
    Descr(level, Uuid16(0x2904), 0x14);
    Char(bas, Uuid16(0x2A1A), 0x15, 0x02);   // no descriptors

    ASSERT_EQ(Dump(), ERROR_SUCCESS);

    EXPECT_EQ(sv::Subkeys(root), std::vector<std::string>{"180f"});
    std::string svc = root + "\\180f";
    EXPECT_EQ(sv::Dwords(svc, {"s_handle", "e_handle"}), (sv::Numbers{0x10, 0x16}));
    EXPECT_EQ(sv::Subkeys(svc), std::vector<std::string>{"Characteristics"});   // no Includes

    std::string chr = svc + "\\Characteristics\\2a19";
    EXPECT_EQ(sv::Dwords(chr, {"AttrHandle", "Properties", "ValueHandle"}), (sv::Numbers{0x11, 0x12, 0x12}));
    EXPECT_EQ(sv::Values(chr).size(), 3u);

    std::string cccd = chr + "\\Descriptors\\2902";
    EXPECT_EQ(sv::Dwords(cccd, {"Handle", "Value"}), (sv::Numbers{0x13, 1}));

    sv::Value format = sv::Read(chr + "\\Descriptors\\2904", "Value");
    EXPECT_EQ(format.type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(format.data, (std::vector<uint8_t>{0x04, 0x00, 0x2F, 0x27, 0x01, 0x00, 0x00}));

    std::string bare = svc + "\\Characteristics\\2a1a";
    EXPECT_EQ(sv::Dword(bare, "AttrHandle"), 0x15);
    EXPECT_TRUE(sv::Subkeys(bare).empty());   // no Descriptors key without descriptors
}

TEST_F(Store, ValuesOfTheFiveStandardDescriptorsOnly)
{
    disc_service *s = Service(Uuid16(0x1800), 1, 0x20);
    disc_char *c = Char(s, Uuid16(0x2A00), 2, 0x0A);
    c->ext_props = 0x0003;
    c->server_config = 0x0001;
    c->client_config = 0x0002;
    std::strcpy(c->user_description, "Device name");
    Descr(c, Uuid16(0x2900), 4);
    Descr(c, Uuid16(0x2901), 5);
    Descr(c, Uuid16(0x2903), 6);
    Descr(c, Uuid16(0x2905), 7);
    Descr(c, Uuid128(BaseGuid(0x2902)), 8);   // 128-bit, even if its first field looks standard

    ASSERT_EQ(Dump(), ERROR_SUCCESS);
    std::string d = root + "\\1800\\Characteristics\\2a00\\Descriptors\\";
    EXPECT_EQ(sv::Dword(d + "2900", "Value"), 3);
    EXPECT_EQ(sv::Text(d + "2901", "Value"), "Device name");
    EXPECT_EQ(sv::Read(d + "2901", "Value").data.size(), 12u);
    EXPECT_EQ(sv::Dword(d + "2903", "Value"), 1);
    EXPECT_EQ(sv::Dword(d + "2905", "Handle"), 7);
    EXPECT_FALSE(sv::Read(d + "2905", "Value").present);
    std::string wide = d + "{00002902-0000-1000-8000-00805f9b34fb}";
    EXPECT_EQ(sv::Dword(wide, "Handle"), 8);
    EXPECT_FALSE(sv::Read(wide, "Value").present);
}

TEST_F(Store, LongUuidsAreBracedLowerCaseText)
{
    disc_service *s = Service(Uuid128(kCustomService), 0x30, 0x40);
    Char(s, Uuid128(kCustomChar), 0x31, 0x10);
    ASSERT_EQ(Dump(), ERROR_SUCCESS);
    EXPECT_EQ(sv::Subkeys(root), std::vector<std::string>{kCustomServiceName});
    EXPECT_EQ(kCustomServiceName.size(), 38u);
    EXPECT_EQ(sv::Dword(root + "\\" + kCustomServiceName + "\\Characteristics\\" + kCustomCharName, "ValueHandle"),
              0x32);
}

TEST_F(Store, NestedIncludedServicesAreNumberedTextValues)
{
    disc_service *s = Service(Uuid16(0x1812), 1, 0x20);
    Service(s->nested, Uuid16(0x180F), 0x30, 0x35);
    Service(s->nested, Uuid128(kCustomService), 0x40, 0x45);
    ASSERT_EQ(Dump(), ERROR_SUCCESS);
    std::string inc = root + "\\1812\\Includes";
    EXPECT_EQ(sv::Values(inc), (std::vector<std::string>{"0000", "0001"}));
    EXPECT_EQ(sv::Text(inc, "0000"), "180f");
    EXPECT_EQ(sv::Read(inc, "0000").data.size(), 5u);
    EXPECT_EQ(sv::Text(inc, "0001"), kCustomServiceName);
    // Only the UUID of a nested service is stored: it gets no key of its own.
    EXPECT_EQ(sv::Subkeys(root), std::vector<std::string>{"1812"});
}

TEST_F(Store, EqualUuidsShareOneKeyAndMerge)
{
    disc_service *first = Service(Uuid16(0x180F), 1, 5);
    Char(first, Uuid16(0x2A19), 2, 0x02);
    disc_service *second = Service(Uuid16(0x180F), 0x20, 0x25);
    Char(second, Uuid16(0x2A1B), 0x21, 0x02);
    disc_char *again = Char(second, Uuid16(0x2A19), 0x23, 0x10);
    Descr(again, Uuid16(0x2902), 0x25);
    ASSERT_EQ(Dump(), ERROR_SUCCESS);

    EXPECT_EQ(sv::Subkeys(root).size(), 1u);
    EXPECT_EQ(sv::Dwords(root + "\\180f", {"s_handle", "e_handle"}), (sv::Numbers{0x20, 0x25}));
    std::string chars = root + "\\180f\\Characteristics";
    EXPECT_EQ(sv::Subkeys(chars).size(), 2u);
    EXPECT_EQ(sv::Dword(chars + "\\2a19", "AttrHandle"), 0x23);
    EXPECT_EQ(sv::Dword(chars + "\\2a19\\Descriptors\\2902", "Handle"), 0x25);
}

TEST_F(Store, ALaterDumpDeletesNothing)
{
    disc_service *s = Service(Uuid16(0x1812), 1, 9);
    Service(s->nested, Uuid16(0x180F), 0x30, 0x35);
    Service(s->nested, Uuid16(0x180A), 0x40, 0x45);
    Service(Uuid16(0x180D), 0x10, 0x1F);
    ASSERT_EQ(Dump(), ERROR_SUCCESS);

    ReleaseDiscoveryList();
    disc_service *again = Service(Uuid16(0x1812), 1, 7);
    Service(again->nested, Uuid16(0x1805), 0x50, 0x55);
    ASSERT_EQ(Dump(), ERROR_SUCCESS);

    EXPECT_EQ(sv::Subkeys(root).size(), 2u);
    EXPECT_EQ(sv::Dword(root + "\\180d", "e_handle"), 0x1F);
    EXPECT_EQ(sv::Dword(root + "\\1812", "e_handle"), 7);
    EXPECT_EQ(sv::Text(root + "\\1812\\Includes", "0000"), "1805");
    EXPECT_EQ(sv::Text(root + "\\1812\\Includes", "0001"), "180a");
}

TEST_F(Store, RootThatCannotBeCreatedIsTheResult)
{
    ASSERT_TRUE(sv::CreateVolatile(sv::DeviceKey(address)));
    Service(Uuid16(0x180F), 1, 4);
    LSTATUS err = Dump();
    EXPECT_EQ(err, ERROR_CHILD_MUST_BE_VOLATILE);
    EXPECT_FALSE(sv::KeyExists(root));
    EXPECT_EQ(trace.Lines(),
              std::vector<std::string>{"***** LeDeviceDumpDiscoverDbToRegistry: RegCreateKeyEx failed. err:1021\n"});
}

TEST_F(Store, FailedServiceKeyEndsTheDump)
{
    ASSERT_TRUE(sv::CreateVolatile(root));
    Service(Uuid16(0x180F), 1, 4);
    Service(Uuid16(0x180A), 5, 9);
    EXPECT_EQ(Dump(), ERROR_CHILD_MUST_BE_VOLATILE);
    EXPECT_TRUE(sv::Subkeys(root).empty());
    EXPECT_EQ(trace.Lines(),
              (std::vector<std::string>{
                  "***** LeDeviceDumpDiscoverDbToRegistry: RegCreateKeyEx(180f) failed. err:1021\n",
                  "LeDeviceDumpDiscoverDbToRegistry: exits. bda=" + AddressText() + "\n"}));
}

// The result is that of the last recorded registry call: a failure followed by
// successful writes reports success.
TEST_F(Store, FailedCharacteristicSkipsTheRestOfItsService)
{
    ASSERT_TRUE(sv::CreateVolatile(root + "\\180f\\Characteristics"));
    disc_service *bas = Service(Uuid16(0x180F), 1, 5);
    Char(bas, Uuid16(0x2A19), 2, 0x02);
    Char(bas, Uuid16(0x2A1A), 4, 0x02);
    disc_service *dis = Service(Uuid16(0x180A), 6, 9);
    Char(dis, Uuid16(0x2A29), 7, 0x02);
    EXPECT_EQ(Dump(), ERROR_SUCCESS);
    EXPECT_TRUE(trace.Contains("***** LeDeviceDumpDiscoverDbToRegistry: RegCreateKeyEx(2a19) failed. err:1021\n"));
    EXPECT_FALSE(trace.Contains("***** LeDeviceDumpDiscoverDbToRegistry: RegCreateKeyEx(2a1a) failed. err:1021\n"));
    EXPECT_TRUE(sv::Subkeys(root + "\\180f\\Characteristics").empty());
    EXPECT_EQ(sv::Dword(root + "\\180a\\Characteristics\\2a29", "ValueHandle"), 8);
}

TEST_F(Store, FailureOfTheLastRecordedCallIsTheResult)
{
    ASSERT_TRUE(sv::CreateVolatile(root + "\\180f\\Characteristics\\2a19\\Descriptors"));
    disc_service *bas = Service(Uuid16(0x180F), 1, 5);
    disc_char *c = Char(bas, Uuid16(0x2A19), 2, 0x12);
    Descr(c, Uuid16(0x2902), 4);
    Descr(c, Uuid16(0x2904), 5);
    EXPECT_EQ(Dump(), ERROR_CHILD_MUST_BE_VOLATILE);
    EXPECT_TRUE(trace.Contains("***** LeDeviceDumpDiscoverDbToRegistry: RegCreateKeyEx(2902) failed. err:1021\n"));
    EXPECT_FALSE(trace.Contains("***** LeDeviceDumpDiscoverDbToRegistry: RegCreateKeyEx(2904) failed. err:1021\n"));
    // What was written before the failure stays.
    EXPECT_EQ(sv::Dword(root + "\\180f\\Characteristics\\2a19", "ValueHandle"), 3);
}

// ---- UUID text forms ----

bool SameGuid(const GUID &a, const GUID &b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(UuidNames, SixteenBitNamesAndBracedText)
{
    char name[kUuidNameSize];
    UuidName(Uuid16(0x180F), name);
    EXPECT_STREQ(name, "180f");
    UuidName(Uuid16(0x0001), name);
    EXPECT_STREQ(name, "0001");
    UuidName(Uuid128(kCustomService), name);
    EXPECT_EQ(name, kCustomServiceName);
    // Any length other than 2 is a 128-bit UUID.
    LeUuid odd = Uuid128(BaseGuid(0x2A19));
    odd.len = 4;
    UuidName(odd, name);
    EXPECT_STREQ(name, "{00002a19-0000-1000-8000-00805f9b34fb}");
}

TEST(UuidNames, FourCharacterNameEqualsItsBracedText)
{
    GUID from_name = GuidFromStoreName("1800");
    EXPECT_TRUE(SameGuid(from_name, BaseGuid(0x1800)));
    EXPECT_TRUE(SameGuid(GuidFromStoreName("{00001800-0000-1000-8000-00805f9b34fb}"), from_name));
    EXPECT_TRUE(SameGuid(GuidFromStoreName("{00001800-0000-1000-8000-00805F9B34FB}"), from_name));
    EXPECT_TRUE(SameGuid(GuidFromStoreName(kCustomServiceName.c_str()), kCustomService));
}

TEST(UuidNames, WhatDoesNotScanStaysZero)
{
    const GUID zero = {};
    EXPECT_TRUE(SameGuid(GuidFromStoreName("1800a"), zero));
    EXPECT_TRUE(SameGuid(GuidFromStoreName(""), zero));
    EXPECT_TRUE(SameGuid(GuidFromStoreName("zzzz"), BaseGuid(0)));
    GUID partial = GuidFromText("{00001800-00zz-1000-8000-00805f9b34fb}");
    EXPECT_EQ(partial.Data1, 0x1800u);
    EXPECT_EQ(partial.Data2, 0);
    EXPECT_EQ(partial.Data3, 0);
    // Only 39 characters are read: trailing text changes nothing.
    EXPECT_TRUE(SameGuid(GuidFromText("{00001800-0000-1000-8000-00805f9b34fb}tail"), BaseGuid(0x1800)));
}

TEST(UuidNames, RootPath)
{
    char path[kStorePathSize];
    StoreRootPath(path, 0x001A7DDA7113ULL);
    EXPECT_STREQ(path, "SYSTEM\\CurrentControlSet\\services\\BTHPORT\\Parameters\\Devices\\001a7dda7113\\Services");
}

} // namespace
