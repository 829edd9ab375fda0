// Trace output: line shaping, the installable sink and the debugger output.
// LeTrace is the trace layer's own interface: the tests call it directly.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "trace/trace.h"

namespace {

std::mutex g_mutex;
std::vector<std::string> g_lines;

void WINAPI Collect(const char *line)
{
    std::lock_guard<std::mutex> hold(g_mutex);
    g_lines.emplace_back(line);
}

void WINAPI Drop(const char *) {}

// What the sink receives for one LeTrace("%s", text).
std::string Traced(const std::string &text)
{
    g_lines.clear();
    QorGattSetTraceFunction(Collect);
    LeTrace("%s", text.c_str());
    QorGattSetTraceFunction(nullptr);
    return g_lines.size() == 1 ? g_lines[0] : "<" + std::to_string(g_lines.size()) + " lines>";
}

TEST(Trace, ShapesLines)
{
    const std::string a(1022, 'a');
    const struct { std::string text, line; } rows[] = {
        {"GATT_Register", "GATT_Register\n"},                  // a line feed where missing
        {"***QorLeApi:QorGattConnect\n", "***QorLeApi:QorGattConnect\n"},
        {"", ""},
        {a, a + "\n"},                                         // the line feed fits at 1,022
        {a + "c", a + "\n"},                                   // the last character gives way
        {a + "\n", a + "\n"},
        {std::string(5000, 'a'), a + "\n"},                    // cut, not overrun
    };
    for (const auto &row : rows)
        EXPECT_EQ(Traced(row.text), row.line) << row.text.size();
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat" // the checker does not know %hs
    g_lines.clear();
    QorGattSetTraceFunction(Collect);
    LeTrace("a %I64x %012I64x %hs %02x %08x%04x %d %u", 0x1234567890ABULL, 0x1a7dda7113ULL, "name", 7, 0x001a7ddau,
            0x7113u, -3, 4000000000u);
    LeTrace("%s-%s", std::string(600, 'y').c_str(), std::string(600, 'z').c_str());
#pragma GCC diagnostic pop
    ASSERT_EQ(g_lines.size(), 2u);
    EXPECT_EQ(g_lines[0], "a 1234567890ab 001a7dda7113 name 07 001a7dda7113 -3 4000000000\n");
    EXPECT_EQ(g_lines[1], std::string(600, 'y') + "-" + std::string(421, 'z') + "\n");
}

TEST(Trace, LinesOfSeveralThreadsNeverMix)
{
    QorGattSetTraceFunction(Collect);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 500; ++i)
                LeTrace("%d %s", t, std::string(200, static_cast<char>('A' + t)).c_str());
        });
    for (auto &thread : threads)
        thread.join();
    ASSERT_EQ(g_lines.size(), 2000u);
    for (const std::string &line : g_lines)
        EXPECT_EQ(line, line.substr(0, 2) + std::string(200, static_cast<char>('A' + line[0] - '0')) + "\n");
}

// Without a sink, lines go to the debugger output; read it as a debug monitor
// does, through the DBWIN buffer.
TEST(Trace, ASinkReplacesTheOtherAndNoneRestoresDebuggerOutput)
{
    HANDLE ready = CreateEventA(nullptr, FALSE, TRUE, "DBWIN_BUFFER_READY");
    HANDLE data = CreateEventA(nullptr, FALSE, FALSE, "DBWIN_DATA_READY");
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, "DBWIN_BUFFER");
    const char *view = static_cast<const char *>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 4096));
    ASSERT_TRUE(ready && data && view);

    g_lines.clear();
    QorGattSetTraceFunction(Drop);
    EXPECT_EQ(QorGattSetTraceFunction(Collect), 0u);
    LeTrace("to the sink %d", 1);
    EXPECT_EQ(QorGattSetTraceFunction(nullptr), 0u);
    LeTrace("to the debugger %d", 2);
    ASSERT_EQ(WaitForSingleObject(data, 5000), WAIT_OBJECT_0);
    EXPECT_STREQ(view + sizeof(DWORD), "to the debugger 2\n");
    EXPECT_EQ(g_lines, std::vector<std::string>{"to the sink 1\n"});
}

} // namespace
