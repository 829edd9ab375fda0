// The service store writer, fed with hand-built discovery lists and read back
// with the registry API; and the UUID text forms it shares with the reader.
// The store module is tested through its own interface, fed without a discovery.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <tuple>

#include "link/discovery.h"
#include "pairing/pairing.h"
#include "store/layout.h"
#include "devices.h"
#include "scenario.h"
#include "store_view.h"

using namespace qortest;
namespace sv = storeview;

namespace {

using namespace devices;
using Lines = std::vector<std::string>;

template <typename Node>
Node *Append(Node *&head, Node *node)
{
    Node **tail = &head;
    while (*tail)
        tail = &(*tail)->next;
    return *tail = node;
}
disc_service *Service(const LeUuid &uuid, uint16_t s, uint16_t e, disc_service *&list = disc_services)
{
    return Append(list, new disc_service{uuid, s, e, 0, nullptr, nullptr});
}
disc_char *Char(disc_service *s, const LeUuid &uuid, uint16_t h, uint8_t props)
{
    disc_char *c = new disc_char();
    c->uuid = uuid, c->handle = h, c->properties = props, c->val_handle = static_cast<uint16_t>(h + 1);
    return Append(s->chars, c);
}
disc_descr *Descr(disc_char *c, const LeUuid &u, uint16_t h) { return Append(c->descrs, new disc_descr{u, h, {}}); }

// The store read back, one line per key that has values or no subkeys, keys and
// values in name order: "180f/Characteristics/2a19: AttrHandle=dw:11000000 ...";
// dw: a REG_DWORD, bin: a REG_BINARY, in hex; sz: a REG_SZ ended by its only NUL.
// Nothing when the key is missing.
Lines Tree(const std::string &path, const std::string &shown = "(root)")
{
    Lines lines, keys = sv::Subkeys(path), names = sv::Values(path);
    if (!sv::KeyExists(path))
        return lines;
    std::sort(keys.begin(), keys.end());
    std::sort(names.begin(), names.end());
    std::string line = shown + ":";
    for (const std::string &name : names) {
        sv::Value v = sv::Read(path, name.c_str());
        std::string text(v.data.begin(), v.data.end());
        if (v.type == REG_SZ && !text.empty() && text.find('\0') == text.size() - 1)
            line += " " + name + "=sz:\"" + text.substr(0, text.size() - 1) + "\"";
        else
            line += Fmt(" %s=%s:", name.c_str(), v.type == REG_DWORD ? "dw" : v.type == REG_BINARY ? "bin" : "other") +
                    ToHex(v.data.data(), v.data.size(), false);
    }
    if (!names.empty() || keys.empty())
        lines.push_back(line);
    for (const std::string &key : keys) {
        Lines below = Tree(path + "\\" + key, (shown == "(root)" ? "" : shown + "/") + key);
        lines.insert(lines.end(), below.begin(), below.end());
    }
    return lines;
}

class Store : public ::testing::Test {
protected:
    void SetUp() override
    {
        address = sv::TestAddress();
        sv::DeleteDevice(address);
        pairing_addr = address;
        root = sv::ServicesKey(address);
        exits = "LeDeviceDumpDiscoverDbToRegistry: exits. bda=" + sv::AddressText(address) + "\n";
    }
    void TearDown() override
    {
        ReleaseDiscoveryList();
        sv::DeleteDevice(address);
    }

    ULONGLONG address = 0;
    std::string root, exits;
    TraceCapture trace;
};

// An empty list: the root alone, under a key of twelve lower-case digits.
TEST_F(Store, EmptyListCreatesTheRootUnderTwelveLowerCaseDigits)
{
    pairing_addr = 0x001A7DDA7113ULL;
    sv::DeleteDevice(pairing_addr);
    EXPECT_EQ(LeDeviceDumpDiscoverDbToRegistry(), ERROR_SUCCESS);
    EXPECT_EQ(Tree("SYSTEM\\CurrentControlSet\\services\\BTHPORT\\Parameters\\Devices\\001a7dda7113\\Services"),
              Lines{"(root):"});
    EXPECT_EQ(trace.Lines(), Lines{"LeDeviceDumpDiscoverDbToRegistry: exits. bda=001a7dda7113\n"});
    sv::DeleteDevice(pairing_addr);
}

// Services, characteristics, descriptors (values of the five standard ones only), long UUIDs as
// braced lower-case text; no key without content. Equal UUIDs share one key, the
// later entry's values win; a later dump only adds and overwrites.
TEST_F(Store, LayoutOfTwoDumps)
{
    disc_service *bas = Service(Uuid16(0x180F), 0x10, 0x16);
    disc_char *l = Char(bas, Uuid16(0x2A19), 0x11, 0x12);
    l->client_config = 1, l->format = 4, l->exponent = 0xFE;
    l->unit = 0x272F, l->name_space = 1, l->description = 0x0106;
    Descr(l, Uuid16(0x2902), 0x13);
    Descr(l, Uuid16(0x2904), 0x14);
    Char(bas, Uuid16(0x2A1A), 0x15, 0x02);
    disc_char *c = Char(Service(Uuid16(0x1800), 0x20, 0x2F), Uuid16(0x2A00), 0x21, 0x0A);
    c->ext_props = 0x0003, c->server_config = 0x0001, c->client_config = 0x0002;
    std::strcpy(c->user_description, "Device name");
    for (uint16_t uuid : {0x2900, 0x2901, 0x2903, 0x2905})
        Descr(c, Uuid16(uuid), static_cast<uint16_t>(uuid - 0x28DD));
    Descr(c, Uuid128(BaseGuid(0x2902)), 0x27);   // 128-bit, even if its first field looks standard
    Char(Service(Uuid128(kCustomService), 0x30, 0x40), Uuid128(kCustomChar), 0x31, 0x10);
    Service(Uuid16(0x1812), 0x41, 0x50);
    ASSERT_EQ(LeDeviceDumpDiscoverDbToRegistry(), ERROR_SUCCESS);

    ReleaseDiscoveryList();
    Service(Uuid16(0x1812), 0x41, 0x4F);
    Char(Service(Uuid16(0x180D), 0x60, 0x62), Uuid16(0x2A19), 0x61, 0x02);
    disc_service *again = Service(Uuid16(0x180D), 0x63, 0x68);
    Char(again, Uuid16(0x2A1B), 0x64, 0x02);
    Descr(Char(again, Uuid16(0x2A19), 0x66, 0x10), Uuid16(0x2902), 0x68);
    ASSERT_EQ(LeDeviceDumpDiscoverDbToRegistry(), ERROR_SUCCESS);

    const std::string d = "1800/Characteristics/2a00/Descriptors/";
    EXPECT_EQ(Tree(root),
              (Lines{"1800: e_handle=dw:2f000000 s_handle=dw:20000000",
                     "1800/Characteristics/2a00: AttrHandle=dw:21000000 Properties=dw:0a000000 ValueHandle=dw:22000000",
                     d + "2900: Handle=dw:23000000 Value=dw:03000000",
                     d + "2901: Handle=dw:24000000 Value=sz:\"Device name\"",
                     d + "2903: Handle=dw:26000000 Value=dw:01000000", d + "2905: Handle=dw:28000000",
                     d + "{00002902-0000-1000-8000-00805f9b34fb}: Handle=dw:27000000",
                     "180d: e_handle=dw:68000000 s_handle=dw:63000000",
                     "180d/Characteristics/2a19: AttrHandle=dw:66000000 Properties=dw:10000000 ValueHandle=dw:67000000",
                     "180d/Characteristics/2a19/Descriptors/2902: Handle=dw:68000000 Value=dw:00000000",
                     "180d/Characteristics/2a1b: AttrHandle=dw:64000000 Properties=dw:02000000 ValueHandle=dw:65000000",
                     "180f: e_handle=dw:16000000 s_handle=dw:10000000",
                     "180f/Characteristics/2a19: AttrHandle=dw:11000000 Properties=dw:12000000 ValueHandle=dw:12000000",
                     "180f/Characteristics/2a19/Descriptors/2902: Handle=dw:13000000 Value=dw:01000000",
                     "180f/Characteristics/2a19/Descriptors/2904: Handle=dw:14000000 Value=bin:04fe2f27010601",
                     "180f/Characteristics/2a1a: AttrHandle=dw:15000000 Properties=dw:02000000 ValueHandle=dw:16000000",
                     "1812: e_handle=dw:4f000000 s_handle=dw:41000000",
                     "{7a1c0001-3d52-4e8b-9c61-2f0a5b8d4e17}: e_handle=dw:40000000 s_handle=dw:30000000",
                     "{7a1c0001-3d52-4e8b-9c61-2f0a5b8d4e17}/Characteristics/{7a1c0003-3d52-4e8b-9c61-2f0a5b8d4e17}: "
                     "AttrHandle=dw:31000000 Properties=dw:10000000 ValueHandle=dw:32000000"}));
}

// A key that cannot be created (a volatile key in the way): the result is that of
// the last recorded registry call, so a failure followed by successful writes
// reports success. A failed service key ends the dump, a failed characteristic
// key its service, a failed descriptor key its characteristic.
TEST_F(Store, KeyThatCannotBeCreated)
{
    disc_service *bas = Service(Uuid16(0x180F), 1, 5);
    Char(bas, Uuid16(0x2A19), 2, 0x02);
    Char(bas, Uuid16(0x2A1A), 4, 0x02);
    disc_char *maker = Char(Service(Uuid16(0x180A), 6, 0x0B), Uuid16(0x2A29), 7, 0x02);
    Descr(maker, Uuid16(0x2902), 9);
    Descr(maker, Uuid16(0x2904), 0x0A);
    const std::string dis = "180a: e_handle=dw:0b000000 s_handle=dw:06000000",
                      c29 = "180a/Characteristics/2a29: AttrHandle=dw:07000000 Properties=dw:02000000 "
                            "ValueHandle=dw:08000000",
                      bas_key = "180f: e_handle=dw:05000000 s_handle=dw:01000000",
                      fail = "***** LeDeviceDumpDiscoverDbToRegistry: RegCreateKeyEx";
    const std::tuple<std::string, LSTATUS, Lines, Lines> cases[] = {   // blocked key, result, trace, store
        {sv::DeviceKey(address), ERROR_CHILD_MUST_BE_VOLATILE, {fail + " failed. err:1021\n"}, {}},
        {root, ERROR_CHILD_MUST_BE_VOLATILE, {fail + "(180f) failed. err:1021\n", exits}, {"(root):"}},
        {root + "\\180f\\Characteristics", ERROR_SUCCESS, {fail + "(2a19) failed. err:1021\n", exits},
         {dis, c29, "180a/Characteristics/2a29/Descriptors/2902: Handle=dw:09000000 Value=dw:00000000",
          "180a/Characteristics/2a29/Descriptors/2904: Handle=dw:0a000000 Value=bin:00000000000000", bas_key,
          "180f/Characteristics:"}},
        {root + "\\180a\\Characteristics\\2a29\\Descriptors", ERROR_CHILD_MUST_BE_VOLATILE,
         {fail + "(2902) failed. err:1021\n", exits},
         {dis, c29, "180a/Characteristics/2a29/Descriptors:", bas_key,
          "180f/Characteristics/2a19: AttrHandle=dw:02000000 Properties=dw:02000000 ValueHandle=dw:03000000",
          "180f/Characteristics/2a1a: AttrHandle=dw:04000000 Properties=dw:02000000 ValueHandle=dw:05000000"}},
    };
    for (const auto &[blocked, result, lines, tree] : cases) {
        SCOPED_TRACE(blocked);
        sv::DeleteDevice(address);
        ASSERT_TRUE(sv::CreateVolatile(blocked));
        trace.Clear();
        EXPECT_EQ(LeDeviceDumpDiscoverDbToRegistry(), result);
        EXPECT_EQ(trace.Lines(), lines);
        EXPECT_EQ(Tree(root), tree);
    }
}

// ---- UUID text forms ----

// Names of UUIDs (four hex digits and braced text are also in the store layout
// above); text to GUID: a four-character name equals its braced text, what does
// not scan stays zero, only 39 characters are read so trailing text changes nothing.
TEST(UuidNames, TextForms)
{
    char name[kUuidNameSize];
    UuidName(Uuid16(0x0001), name);
    EXPECT_STREQ(name, "0001");
    LeUuid odd = Uuid128(BaseGuid(0x2A19));
    odd.len = 4;   // any length other than 2 is a 128-bit UUID
    UuidName(odd, name);
    EXPECT_STREQ(name, "{00002a19-0000-1000-8000-00805f9b34fb}");

    const std::tuple<GUID (*)(const char *), const char *, GUID> cases[] = {
        {GuidFromStoreName, "1800", BaseGuid(0x1800)},
        {GuidFromStoreName, "{00001800-0000-1000-8000-00805f9b34fb}", BaseGuid(0x1800)},
        {GuidFromStoreName, "{00001800-0000-1000-8000-00805F9B34FB}", BaseGuid(0x1800)},
        {GuidFromStoreName, kCustomServiceName.c_str(), kCustomService},
        {GuidFromStoreName, "1800a", {}}, {GuidFromStoreName, "", {}}, {GuidFromStoreName, "zzzz", BaseGuid(0)},
        {GuidFromText, "{00001800-00zz-1000-8000-00805f9b34fb}", {0x1800, 0, 0, {}}},
        {GuidFromText, "{00001800-0000-1000-8000-00805f9b34fb}tail", BaseGuid(0x1800)},
    };
    for (const auto &[parse, text, want] : cases) {
        GUID got = parse(text);
        EXPECT_EQ(std::memcmp(&got, &want, sizeof got), 0) << text;
    }
}

} // namespace
