// The records of an attribute tree and of a device: freeing frees every record
// exactly once, in list order; and the state the library sets up when it is
// loaded.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/api_state.h"
#include "client/attr_cache.h"

namespace {

std::vector<std::string> freed;

class TracedDescr : public LeDescr {
public:
    explicit TracedDescr(std::string name) : name_(std::move(name)) {}
    ~TracedDescr() override { freed.push_back(name_); }

private:
    std::string name_;
};

class TracedChar : public LeChar {
public:
    explicit TracedChar(std::string name) : name_(std::move(name)) {}
    ~TracedChar() override { freed.push_back(name_); }

private:
    std::string name_;
};

template <class Node>
Node *Append(Node *&head, Node *node)
{
    Node **tail = &head;
    while (*tail)
        tail = &(*tail)->next;
    return *tail = node;
}

// A service with characteristics c1 (descriptors d1, d2) and c2 (d3).
LeService *ThreeLevelService(const std::string &tag)
{
    auto *service = new LeService;
    LeChar *c1 = Append<LeChar>(service->characteristics, new TracedChar(tag + "c1"));
    Append<LeDescr>(c1->descriptors, new TracedDescr(tag + "d1"));
    Append<LeDescr>(c1->descriptors, new TracedDescr(tag + "d2"));
    LeChar *c2 = Append<LeChar>(service->characteristics, new TracedChar(tag + "c2"));
    Append<LeDescr>(c2->descriptors, new TracedDescr(tag + "d3"));
    return service;
}

TEST(AttrCache, FreeingAServiceFreesEveryRecordOnceInListOrder)
{
    freed.clear();
    LeService *service = ThreeLevelService("");
    Append<LeService>(service->includes, ThreeLevelService("i1."));
    Append<LeService>(service->includes, ThreeLevelService("i2."));
    FreeService(service);
    // A characteristic's destruction starts (and is noted) before it frees its
    // descriptors; then come the included services.
    EXPECT_EQ(freed, (std::vector<std::string>{"c1", "d1", "d2", "c2", "d3", "i1.c1", "i1.d1", "i1.d2", "i1.c2",
                                               "i1.d3", "i2.c1", "i2.d1", "i2.d2", "i2.c2", "i2.d3"}));
}

TEST(AttrCache, FreeAttributeCacheEmptiesTheTreeAndTheDeviceFreesWhatIsLeft)
{
    freed.clear();
    auto *dev = new QOR_CONN_DEV;
    Append<LeService>(dev->services, ThreeLevelService("a."));
    Append<LeService>(dev->services, ThreeLevelService("b."));
    FreeAttributeCache(dev);
    EXPECT_EQ(dev->services, nullptr);
    EXPECT_EQ(freed.size(), 10u);
    EXPECT_EQ(freed.front(), "a.c1");
    EXPECT_EQ(freed.back(), "b.d3");

    freed.clear();
    Append<LeService>(dev->services, ThreeLevelService("c."));
    delete dev;
    EXPECT_EQ(freed.size(), 5u);
}

TEST(AttrCache, NewRecordsAreEmpty)
{
    QOR_CONN_DEV dev;
    EXPECT_EQ(dev.pNext, nullptr);
    EXPECT_EQ(dev.Address.ullLong, 0u);
    EXPECT_EQ(dev.pOpApp, nullptr);
    EXPECT_EQ(dev.gatt_if, 0);
    EXPECT_EQ(dev.conn_id, 0);
    EXPECT_EQ(dev.hOpEvent, nullptr);
    EXPECT_EQ(dev.services, nullptr);
    EXPECT_EQ(dev.pOpValue, nullptr);
    EXPECT_EQ(dev.OpContext, 0u);
    // Its own lock works on its own.
    EXPECT_TRUE(TryEnterCriticalSection(&dev.DevLock));
    LeaveCriticalSection(&dev.DevLock);

    LeChar chr;
    EXPECT_EQ(chr.properties, 0);
    EXPECT_EQ(chr.userDescription[0], '\0');
    EXPECT_EQ(chr.descriptors, nullptr);
}

TEST(AttrCache, DeviceRecordClosesTheEventOfAnOperationNobodyWaitsFor)
{
    DWORD flags = 0;
    HANDLE unwaited = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE waited = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    {
        QOR_CONN_DEV dev;
        dev.hOpEvent = unwaited;
    }
    EXPECT_FALSE(GetHandleInformation(unwaited, &flags));
    {
        // A waiting caller owns the event and closes it itself.
        QOR_CONN_DEV dev;
        dev.hOpEvent = waited;
        dev.OpWait = 1;
    }
    EXPECT_TRUE(GetHandleInformation(waited, &flags));
    CloseHandle(waited);
}

TEST(LoadState, ScratchDeviceAndNamedMutexExistFromLoadAndLoadWorkRunsOnce)
{
    QOR_CONN_DEV *scratch = ScratchDevice();
    ASSERT_NE(scratch, nullptr);
    EXPECT_EQ(scratch->Address.ullLong, 0u);
    EXPECT_EQ(scratch->services, nullptr);
    EXPECT_TRUE(TryEnterCriticalSection(&scratch->DevLock));
    LeaveCriticalSection(&scratch->DevLock);

    ASSERT_NE(ZIDEDMutex, nullptr);
    HANDLE same = OpenMutexW(SYNCHRONIZE, FALSE, L"ZIDEDMutex");
    ASSERT_NE(same, nullptr);
    CloseHandle(same);
    // Nobody owns it while no registration is being made.
    EXPECT_EQ(WaitForSingleObject(ZIDEDMutex, 0), WAIT_OBJECT_0);
    ReleaseMutex(ZIDEDMutex);
    // The API lock comes with the first registration, not at load.
    EXPECT_EQ(bApiLockInit, 0);

    // The load work runs once.
    HANDLE mutex = ZIDEDMutex;
    QorLeProcessAttach();
    EXPECT_EQ(ScratchDevice(), scratch);
    EXPECT_EQ(ZIDEDMutex, mutex);
}

} // namespace
