#pragma once
// The pairing registration on the controller, a completion function that writes
// "done <address> <success>" into the callback journal, and the discovery walk's
// conversation with the driver in hex: the requests it must send on connection
// 7 and the records that answer them.

#include <windows.h>

#include <string>
#include <vector>

#include "QorLeLib.h"
#include "link/discovery.h"
#include "pairing/pairing.h"
#include "scenario.h"
#include "store_view.h"

namespace pairingtest {

using namespace qortest;

inline void WINAPI OnPairingDone(ULONGLONG address, DWORD success)
{
    NoteFmt("done %012llx %lu", address, success);
}

inline std::string U16(unsigned v) { return "0200 " + Le16(v) + " 00*14"; }
// The made-up 128-bit UUIDs of the custom service, characteristic and descriptor.
const char *const kCustomService = "1000 01001c7a 523d 8b4e 9c612f0a5b8d4e17";
const char *const kCustomChar = "1000 03001c7a 523d 8b4e 9c612f0a5b8d4e17";
const char *const kCustomDescr = "1000 09001c7a 523d 8b4e 9c612f0a5b8d4e17";

inline Step Disc(int type, unsigned s, unsigned e)
{
    return Sent(ZOREROVA_GATTC_DISCOVER, "00*18 0700 " + Le16(s) + " " + Le16(e) + Fmt(" %02x", type));
}
inline Step Read(unsigned handle) { return Sent(ZOREROVA_GATTC_READ, "0700 02 0000 " + Le16(handle) + " 00*20"); }

// Discovery results: services, included services, characteristics, descriptors.
inline std::string Svc(unsigned s, unsigned e, const std::string &uuid)
{
    return "fd 0700 01 " + U16(0x2800) + " " + Le16(s) + " " + Le16(e) + " " + uuid;
}
inline std::string Inc(unsigned decl, unsigned s, unsigned e, const std::string &uuid)
{
    return "fd 0700 03 " + U16(0x2802) + " " + Le16(decl) + " " + uuid + " " + Le16(s) + " " + Le16(e);
}
inline std::string Chr(unsigned h, int props, unsigned val, const std::string &uuid, unsigned conn = 7)
{
    return "fd " + Le16(conn) + " 04 " + U16(0x2803) + " " + Le16(h) + Fmt(" %02x 00 ", props) + Le16(val) + " " + uuid;
}
inline std::string Dsc(unsigned h, const std::string &uuid, unsigned conn = 7)
{
    return "fd " + Le16(conn) + " 05 " + uuid + " " + Le16(h);
}
inline Step Complete(int type, int status = 0, unsigned conn = 7)
{
    return Post("fc " + Le16(conn) + Fmt(" %02x %02x", type, status));
}
// The results of a step, then its completion.
inline Script Answer(int type, const std::vector<std::string> &results, int status = 0)
{
    Script s;
    for (const std::string &r : results)
        s.push_back(Post(r));
    s.push_back(Complete(type, status));
    return s;
}
// The completion of a read: status, handle, value.
inline Step ReadAnswer(unsigned handle, const std::string &value, int status = 0, unsigned conn = 7)
{
    const std::string c = Le16(conn);
    return Post("f8 " + c + Fmt(" 02 %02x ", status) + c + " " + Le16(handle) + " 0000 " +
                Le16(static_cast<unsigned>(Hex(value).size())) + " 00 " + value);
}

class PairingTest : public ScenarioTest {
protected:
    void SetUp() override
    {
        ScenarioTest::SetUp();
        address = storeview::TestAddress();
        storeview::DeleteDevice(address);
        Play({Returns(0, [] { return QorGattPairingRegister(); }),
              Sent(ZOREROVA_GATT_REGISTER, "1000 40c19751 ac76 ca4e a12740068d8760f2", "01")});
    }
    void TearDown() override
    {
        QorGattPairingUnregister();
        ReleaseDiscoveryList();
        storeview::DeleteDevice(address);
    }
    // The pairing registration hears of a connection of 00:1A:7D:00:00:07.
    static Script Link(unsigned conn = 7, int up = 1)
    {
        return {Post("ff 001a7d000007 " + Le16(conn) + Fmt(" %02x", up)),
                Trace(Fmt("LeDeviceConnectCallback 001a7d000007 gatt_if 1 conn_id %u connected %d", conn, up))};
    }
    Script Start(PFN_LE_PAIRING_CALLBACK done = OnPairingDone)
    {
        return {Returns(0, [this, done] { return QorGattPairingDiscover(address, done); }), Disc(1, 1, 0xFFFF)};
    }
    Step Done(int success) const { return Callback(Fmt("done %012llx %d", address, success)); }
    // A walk of one service s-e (a 16-bit UUID) that includes none, up to its
    // characteristics request.
    Script ToCharacteristics(unsigned s, unsigned e, unsigned uuid)
    {
        return {Start(), Answer(1, {Svc(s, e, U16(uuid))}), Disc(3, s, e), Answer(3, {}), Disc(4, s, e)};
    }
    // Service 1-6 with a characteristic 2 (value 3): up to its descriptor request.
    Script ToDescriptors()
    {
        return {ToCharacteristics(1, 6, 0x180F), Answer(4, {Chr(2, 0x12, 3, U16(0x2A19))}), Disc(5, 4, 6)};
    }
    // The same walk up to the read of its one descriptor 4.
    Script ToDescriptorRead() { return {ToDescriptors(), Answer(5, {Dsc(4, U16(0x2902))}), Read(4)}; }
    std::string Root() const { return storeview::ServicesKey(address); }
    // The descriptor keys of characteristic 2a19 in service 180f.
    std::string LevelDescriptors() const { return Root() + "\\180f\\Characteristics\\2a19\\Descriptors\\"; }
    // A tree was stored, and it is empty.
    bool EmptyTreeStored() const { return storeview::KeyExists(Root()) && storeview::Subkeys(Root()).empty(); }
    ULONGLONG address = 0;
};

} // namespace pairingtest
