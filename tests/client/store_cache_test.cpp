// The attribute cache and enumeration, from stores that a real pairing
// discovery wrote (in this process and in another) and from hand-made ones.
// The loader is called directly where it reads cached descriptor fields that no export shows.

#include <gtest/gtest.h>

#include <process.h>

#include <cstdlib>
#include <tuple>

#include "../pairing/devices.h"
#include "client/attr_cache.h"
#include "connection_util.h"

using namespace qortest;
using clienttest::ApiLockIsFree;
using clienttest::Name;
using clienttest::WriteStore;

namespace {

const uint8_t kSensor[6] = {0xC0, 0x11, 0x22, 0x33, 0x44, 0x55};
constexpr ULONGLONG kHere = 0x5A00000000A1, kThere = 0x5A00000000A2, kOdd = 0x5A00000000A3;

// A trace line of the API.
Step Api(const std::string &rest) { return Trace("***QorLeApi:" + rest); }

// The tree loaded for an address, one line per service.
std::vector<std::string> Tree(ULONGLONG address)
{
    QOR_CONN_DEV dev;
    dev.Address.ullLong = address;
    LoadAttributeCache(&dev);
    std::vector<std::string> lines;
    for (const LeService *s = dev.services; s; s = s->next) {
        lines.push_back(Fmt("%s %x-%x", Name(s->uuid).c_str(), s->s_handle, s->e_handle));
        for (const LeChar *c = s->characteristics; c; c = c->next) {
            lines.back() += Fmt(" [%s %x/%x/%x x%x c%x s%x f%x,%d,%x,%x,%x '%s'", Name(c->uuid).c_str(), c->attrHandle,
                                c->properties, c->valueHandle, c->extProperties, c->clientConfig, c->serverConfig,
                                c->format, c->exponent, c->unit, c->nameSpace, c->description, c->userDescription);
            for (const LeDescr *d = c->descriptors; d; d = d->next)
                lines.back() += Fmt(" %s@%x", Name(d->uuid).c_str(), d->handle);
            lines.back() += "]";
        }
    }
    return lines;
}

class StoreCache : public clienttest::ConnectionTest {};

TEST_F(StoreCache, PairedStoreLoadsInThisProcessAndInAnother)
{
    if (std::getenv("QOR_PAIR_THERE")) {   // the other process
        ASSERT_TRUE(StoreByPairing(ctl, trace, kSensor, devices::HeartRateSensor(), kThere));
        return;
    }
    const std::vector<std::string> want = {
        "1800 1-5 [2a00 2/2/3 x0 c0 s0 f0,0,0,0,0 ''] [2a01 4/2/5 x0 c0 s0 f0,0,0,0,0 '']",
        "180a 16-1a [2a24 19/2/1a x0 c0 s0 f0,0,0,0,0 ''] [2a29 17/2/18 x0 c0 s0 f0,0,0,0,0 '']",
        "180d b-15 [2a37 d/10/e x0 c1 s0 f0,0,0,0,0 'Heart Rate' 2901@10 2902@f] [2a38 11/2/12 x0 c0 s0 f0,0,0,0,0 '']"
        " [2a39 13/88/14 x1 c0 s0 f0,0,0,0,0 '' 2900@15]",
        "180f 6-a [2a19 7/12/8 x0 c0 s0 f4,0,27ad,1,106 '' 2902@9 2904@a]",
        "{7a1c0001-3d52-4e8b-9c61-2f0a5b8d4e17} 1b-20 [{7a1c0003-3d52-4e8b-9c61-2f0a5b8d4e17} 1c/1a/1d x0 c0 s1 "
        "f0,0,0,0,0 '' 2903@1e 2905@20 {7a1c0009-3d52-4e8b-9c61-2f0a5b8d4e17}@1f]",
    };
    storeview::DeleteDevice(kThere);
    ASSERT_TRUE(StoreByPairing(ctl, trace, kSensor, devices::HeartRateSensor(), kHere)) << trace.Dump();
    EXPECT_EQ(Tree(kHere), want);
    SetEnvironmentVariableA("QOR_PAIR_THERE", "1");
    EXPECT_EQ(_spawnl(_P_WAIT, _pgmptr, _pgmptr, "--gtest_filter=StoreCache.PairedStore*", nullptr), 0);
    EXPECT_EQ(Tree(kThere), want);
}

TEST_F(StoreCache, CorruptStoreLoadsWhatItCanAndLookupsCountInstances)
{
    const std::string chr = "180f\\Characteristics\\2a19", descrs = chr + "\\Descriptors\\";
    const std::string guid_text = "{0000180f-0000-1000-8000-00805f9b34fb}";
    WriteStore(kOdd, {{"180f", "s_handle", REG_BINARY, "3412"},             // short: zero-extended
                      {"180f", "e_handle", REG_DWORD, "ffff000001000000"},  // 8-byte DWORD: unreadable
                      {chr, "AttrHandle", REG_SZ, "3200"},                  // the bytes, whatever the type
                      {chr, "Properties", REG_DWORD, "1a020000"},
                      {chr, "ValueHandle", REG_DWORD, "05000100"},
                      {descrs + "2901", "Value", REG_BINARY, "aa*512"},     // no terminator
                      {descrs + "2901", "Handle", REG_DWORD, "09000000"},
                      {descrs + "2902", "Value", REG_BINARY, "11*600"},     // oversize
                      {descrs + "{00002903-0000-0000-0000-000000000000}", "Value", REG_DWORD, "07000000"},
                      {guid_text + "\\Characteristics\\2a19", "AttrHandle", REG_DWORD, "21000000"},
                      {guid_text, "s_handle", REG_DWORD, "20000000"},
                      {"1800a", "s_handle", REG_DWORD, "30000000"},         // five characters: GUID text
                      {"180d", "Characteristics", REG_DWORD, "01000000"}}); // a value, not a key
    EXPECT_EQ(Tree(kOdd), std::vector<std::string>({"{00000000-0000-0000-0000-000000000000} 30-0", "180d 0-0",
                                                     "180f 1234-0 [2a19 32/1a/5 x0 c0 s7 f0,0,0,0,0 '" +
                                                         std::string(511, '\xaa') +
                                                         "' 2901@9 2902@0 {00002903-0000-0000-0000-000000000000}@0]",
                                                     "180f 20-0 [2a19 21/0/0 x0 c0 s0 f0,0,0,0,0 '']"}));

    QOR_CONN_DEV dev;
    dev.Address.ullLong = kOdd;
    LoadAttributeCache(&dev);
    const GUID service = BaseGuid(0x180F), characteristic = BaseGuid(0x2A19);
    // service instance, characteristic instance, descriptor (0: the characteristic), handle found, line traced
    const std::string service_lost = "FindChar service 180f not found";
    const std::vector<std::tuple<DWORD, DWORD, uint16_t, uint16_t, std::string>> rows = {
        {0, 0, 0, 0x32, ""}, {1, 0, 0, 0x21, ""}, {0, 0, 0x2901, 9, ""}, {2, 0, 0, 0, service_lost},
        {0, 1, 0, 0, "FindChar char 2a19 not found"}, {1, 0, 0x2901, 0, "FindDescr descriptor 2901 not found"},
        {2, 0, 0x2901, 0, service_lost}};
    for (const auto &[s, c, descr, handle, traced] : rows) {
        trace.Clear();
        const GUID d = BaseGuid(descr);
        const LeDescr *by_descr = descr ? FindDescr(dev.services, &service, s, &characteristic, c, &d) : nullptr;
        const LeChar *by_char = descr ? nullptr : FindChar(dev.services, &service, s, &characteristic, c);
        EXPECT_EQ(by_descr ? by_descr->handle : by_char ? by_char->attrHandle : 0, handle) << s << c << descr;
        EXPECT_EQ(trace.Lines(), traced.empty() ? std::vector<std::string>()
                                                  : std::vector<std::string>{"***QorLeApi:ERROR " + traced + "\n"});
    }
}

// One enumeration call: 'S'ervice, 'C'haracteristic or 'D'escriptor; `bad`
// passes an address (1) or a handle pointer (2) that faults, or no UUID
// pointer (3); `out` is what it handed back, "<uuid>@<handle>".
Step Enum(char fn, ULONGLONG address, USHORT service, USHORT chr, DWORD inx, int bad, DWORD code, std::string out)
{
    return Returns(code, [=] {
        LE_ADDRESS device{address};
        GUID uuid{};
        USHORT handle = 0xEEEE;
        PLE_ADDRESS a = bad == 1 ? reinterpret_cast<PLE_ADDRESS>(0x10) : &device;
        USHORT *h = bad == 2 ? reinterpret_cast<USHORT *>(0x10) : &handle;
        GUID *g = bad == 3 ? nullptr : &uuid;
        DWORD got = fn == 'S'   ? QorGattEnumService(a, inx, g, h)
                    : fn == 'C' ? QorGattEnumCharacteristic(a, service, inx, g, h)
                                : QorGattEnumDescriptor(a, service, chr, inx, g, h);
        EXPECT_EQ((got ? "" : Name(uuid)) + Fmt("@%x", handle), out) << Fmt("%c %x %x %u", fn, service, chr, inx);
        return got;
    });
}

TEST_F(StoreCache, EnumerationListsConnectedAndMerelyPairedDevices)
{
    const ULONGLONG dev = 0xC01122334455, late = 0xC01122334466, p = 0x5A00000000B1, q = 0x5A00000000B2,
                    none = 0x5A00000000B3;
    const uint8_t late_bda[6] = {0xC0, 0x11, 0x22, 0x33, 0x44, 0x66};
    Play({Enum('S', dev, 0, 0, 0, 0, 87, "@eeee"), Api("ERROR QorGattEnumService invalid arguments*")});

    const std::string chr = "180f\\Characteristics\\2a19";
    WriteStore(dev, {{"1800", "s_handle", REG_DWORD, "01000000"}, {"180a", "s_handle", REG_DWORD, "16000000"},
                     {"180f", "s_handle", REG_DWORD, "06000000"}, {chr, "AttrHandle", REG_DWORD, "07000000"},
                     {chr + "\\Descriptors\\2902", "Handle", REG_DWORD, "09000000"}});
    WriteStore(p, {{"1811", "s_handle", REG_DWORD, "10000000"}});
    WriteStore(q, {{"1812", "s_handle", REG_DWORD, "20000000"}});
    WriteStore(late, {});
    WriteStore(none, {});
    HQORREG h = nullptr;
    ASSERT_EQ(Register(0, BaseGuid(0xA99), &h), 0u);
    for (const uint8_t *bda : {kSensor, late_bda}) {
        ctl.AddDevice(bda, GattDb(), 0);
        LinkUp(ctl, bda);
    }
    Play({Api("ConnectCallback gatt_if:1 bda:c01122334466*"),
          Enum('S', dev, 0, 0, 0, 0, 0, "1800@1"), Api("QorGattEnumService c01122334455 inx:0"),
          Enum('S', dev, 0, 0, 2, 0, 0, "180f@6"), Enum('S', dev, 0, 0, 3, 0, 259, "@0"),
          Enum('C', dev, 6, 0, 0, 0, 0, "2a19@7"), Api("QorGattEnumCharacteristic c01122334455 handle:0x6 inx:0"),
          Enum('C', dev, 6, 0, 1, 0, 1359, "@eeee"), Enum('C', dev, 5, 0, 0, 0, 259, "@eeee"),
          Enum('D', dev, 6, 7, 0, 0, 0, "2902@9"), Api("QorGattEnumDescriptor c01122334455 service:0x6 char:0x7 inx:0"),
          Enum('D', dev, 6, 7, 1, 0, 1359, "@0"), Enum('D', dev, 6, 8, 0, 0, 259, "@0"),
          // Not connected: the scratch record, reloaded whenever another device is asked for.
          Enum('S', p, 0, 0, 0, 0, 0, "1811@10"), Enum('S', q, 0, 0, 0, 0, 0, "1812@20"),
          Enum('S', p, 0, 0, 0, 0, 0, "1811@10"), Enum('S', late, 0, 0, 0, 0, 259, "@0"),
          Enum('S', none, 0, 0, 0, 0, 259, "@0"),
          Enum('S', dev, 0, 0, 0, 3, 87, "@eeee"), Api("ERROR QorGattEnumService invalid arguments*"),
          Enum('C', dev, 0, 0, 0, 0, 87, "@eeee"), Api("ERROR QorGattEnumCharacteristic invalid arguments*"),
          Enum('D', dev, 6, 0, 0, 0, 87, "@eeee"), Api("ERROR QorGattEnumDescriptor invalid arguments*"),
          // A bad pointer costs 1359, not the process.
          Enum('S', dev, 0, 0, 0, 1, 1359, "@eeee"), Api("ERROR QorGattEnumService crashed Addr:0000000000000010*"),
          Enum('S', dev, 0, 0, 0, 2, 1359, "@eeee"), Api("ERROR QorGattEnumService crashed*"),
          Enum('C', dev, 6, 0, 0, 1, 1359, "@eeee"),
          Enum('D', dev, 6, 7, 0, 2, 1359, "@eeee"), NoTrace("***QorLeApi:QorGattEnumDescriptor 0")});
    EXPECT_TRUE(ApiLockIsFree());

    // Stores written since: an empty tree is read again, a loaded one is kept.
    WriteStore(late, {{"1813", "s_handle", REG_DWORD, "30000000"}});
    WriteStore(none, {{"1814", "s_handle", REG_DWORD, "40000000"}});
    WriteStore(dev, {{"1801", "s_handle", REG_DWORD, "50000000"}}, false);
    Play({Enum('S', late, 0, 0, 0, 0, 0, "1813@30"), Enum('S', none, 0, 0, 0, 0, 0, "1814@40"),
          Enum('S', dev, 0, 0, 3, 0, 259, "@0")});
}

} // namespace
