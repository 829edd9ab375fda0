#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "trace/trace.h"

namespace {
std::vector<std::string> g_lines;
void WINAPI Collect(const char *line) { g_lines.emplace_back(line); }
} // namespace

TEST(Trace, FormatsWithPlatformDialect)
{
    g_lines.clear();
    QorGattSetTraceFunction(Collect);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat" // the checker does not know %hs
    LeTrace("a %I64x %012I64x %hs", 0x1234567890ABULL, 0x1a7dda7113ULL, "x");
#pragma GCC diagnostic pop
    QorGattSetTraceFunction(nullptr);
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_EQ(g_lines[0], "a 1234567890ab 001a7dda7113 x\n");
}
