// Trace output: line shaping, the installable sink and the debugger output.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "trace/trace.h"

namespace {

std::mutex g_mutex;
std::vector<std::string> g_lines;
std::vector<std::string> g_other;

void WINAPI Collect(const char *line)
{
    std::lock_guard<std::mutex> hold(g_mutex);
    g_lines.emplace_back(line);
}

void WINAPI CollectOther(const char *line)
{
    std::lock_guard<std::mutex> hold(g_mutex);
    g_other.emplace_back(line);
}

class TraceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_lines.clear();
        g_other.clear();
        ASSERT_EQ(QorGattSetTraceFunction(Collect), 0u);
    }
    void TearDown() override { QorGattSetTraceFunction(nullptr); }

    // The one line the sink received for `text` traced through "%s".
    std::string TraceText(const std::string &text)
    {
        g_lines.clear();
        LeTrace("%s", text.c_str());
        EXPECT_EQ(g_lines.size(), 1u);
        return g_lines.empty() ? std::string("<none>") : g_lines[0];
    }
};

TEST_F(TraceTest, FormatsWithThePlatformDialect)
{
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat" // the checker does not know %hs
    LeTrace("a %I64x %012I64x %hs %02x %04x %08x%04x %d %u", 0x1234567890ABULL, 0x1a7dda7113ULL, "name", 7, 0xbeef,
            0x001a7ddau, 0x7113u, -3, 4000000000u);
#pragma GCC diagnostic pop
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_EQ(g_lines[0], "a 1234567890ab 001a7dda7113 name 07 beef 001a7dda7113 -3 4000000000\n");
}

TEST_F(TraceTest, AppendsALineFeedOnlyWhereMissing)
{
    EXPECT_EQ(TraceText("GATT_Register"), "GATT_Register\n");
    EXPECT_EQ(TraceText("***QorLeApi:QorGattConnect\n"), "***QorLeApi:QorGattConnect\n");
    EXPECT_EQ(TraceText(""), "");
}

TEST_F(TraceTest, LinesAtTheBufferLimit)
{
    // 1,022 characters: the line feed fits at position 1,022.
    std::string line = TraceText(std::string(1022, 'a'));
    EXPECT_EQ(line.size(), 1023u);
    EXPECT_EQ(line, std::string(1022, 'a') + "\n");

    // 1,023 characters: the last one gives way to the line feed.
    line = TraceText(std::string(1022, 'b') + "c");
    EXPECT_EQ(line, std::string(1022, 'b') + "\n");

    // 1,023 characters ending in a line feed stay as they are.
    line = TraceText(std::string(1022, 'd') + "\n");
    EXPECT_EQ(line, std::string(1022, 'd') + "\n");
}

TEST_F(TraceTest, AnOverlongLineIsCutNotOverrun)
{
    std::string line = TraceText(std::string(5000, 'x'));
    EXPECT_EQ(line, std::string(1022, 'x') + "\n");

    LeTrace("%s-%s", std::string(600, 'y').c_str(), std::string(600, 'z').c_str());
    ASSERT_EQ(g_lines.size(), 2u);
    EXPECT_EQ(g_lines[1], std::string(600, 'y') + "-" + std::string(421, 'z') + "\n");
}

TEST_F(TraceTest, ASinkReplacesTheEarlierOne)
{
    LeTrace("first");
    ASSERT_EQ(QorGattSetTraceFunction(CollectOther), 0u);
    LeTrace("second");
    EXPECT_EQ(g_lines, std::vector<std::string>{"first\n"});
    EXPECT_EQ(g_other, std::vector<std::string>{"second\n"});
}

TEST_F(TraceTest, LinesOfSeveralThreadsNeverMix)
{
    constexpr int kThreads = 4, kLines = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            std::string body(200, static_cast<char>('A' + t));
            for (int i = 0; i < kLines; ++i)
                LeTrace("thread %d line %d %s", t, i, body.c_str());
        });
    }
    for (auto &thread : threads)
        thread.join();

    ASSERT_EQ(g_lines.size(), static_cast<size_t>(kThreads * kLines));
    std::vector<int> next(kThreads, 0);
    for (const std::string &line : g_lines) {
        int t = -1, i = -1;
        ASSERT_EQ(sscanf(line.c_str(), "thread %d line %d ", &t, &i), 2) << line;
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        EXPECT_EQ(i, next[t]++) << "lines of one thread keep their order";
        std::string expected = "thread " + std::to_string(t) + " line " + std::to_string(i) + " " +
                               std::string(200, static_cast<char>('A' + t)) + "\n";
        EXPECT_EQ(line, expected);
    }
}

// Without a sink, lines go to the debugger output; read it as a debug monitor
// does, through the DBWIN buffer.
class DebugMonitor {
public:
    DebugMonitor()
    {
        ready_ = CreateEventA(nullptr, FALSE, FALSE, "DBWIN_BUFFER_READY");
        data_ = CreateEventA(nullptr, FALSE, FALSE, "DBWIN_DATA_READY");
        mapping_ = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, "DBWIN_BUFFER");
        view_ = mapping_ ? static_cast<char *>(MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, 4096)) : nullptr;
        if (ready_)
            SetEvent(ready_);
    }
    ~DebugMonitor()
    {
        if (view_)
            UnmapViewOfFile(view_);
        for (HANDLE h : {mapping_, data_, ready_})
            if (h)
                CloseHandle(h);
    }
    bool Ok() const { return ready_ && data_ && view_; }
    // The text of the next debug string, or "<timeout>".
    std::string Next(DWORD timeout_ms)
    {
        if (WaitForSingleObject(data_, timeout_ms) != WAIT_OBJECT_0)
            return "<timeout>";
        std::string text(view_ + sizeof(DWORD));
        SetEvent(ready_);
        return text;
    }

private:
    HANDLE ready_ = nullptr, data_ = nullptr, mapping_ = nullptr;
    char *view_ = nullptr;
};

TEST(TraceDebugger, AnEmptySinkRestoresDebuggerOutput)
{
    DebugMonitor monitor;
    ASSERT_TRUE(monitor.Ok());

    ASSERT_EQ(QorGattSetTraceFunction(Collect), 0u);
    g_lines.clear();
    LeTrace("to the sink %d", 1);
    EXPECT_EQ(g_lines, std::vector<std::string>{"to the sink 1\n"});

    EXPECT_EQ(QorGattSetTraceFunction(nullptr), 0u);
    LeTrace("to the debugger %d", 2);
    EXPECT_EQ(monitor.Next(5000), "to the debugger 2\n");
    EXPECT_EQ(g_lines.size(), 1u) << "the removed sink is not called again";
}

} // namespace
