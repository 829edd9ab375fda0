#include "trace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "api/export.h"

namespace {

std::atomic<LeTraceSink> g_sink{nullptr};

// A line that does not end in a line feed gets one; a full buffer gives up its
// last character for it.
void TerminateLine(char *line)
{
    size_t len = std::strlen(line);
    if (len == 0 || line[len - 1] == '\n')
        return;
    size_t at = len < kTraceLineSize - 2 ? len : kTraceLineSize - 2;
    line[at] = '\n';
    line[at + 1] = '\0';
}

} // namespace

void LeTrace(const char *format, ...)
{
    char line[kTraceLineSize];
    std::memset(line, 0, sizeof line);

    va_list args;
    va_start(args, format);
    // The runtime's bounded formatter cuts an over-long line at 1,023 characters.
    _vsnprintf(line, sizeof line - 1, format, args);
    va_end(args);

    TerminateLine(line);

    LeTraceSink sink = g_sink.load(std::memory_order_acquire);
    if (sink)
        sink(line);
    else
        OutputDebugStringA(line);
}

extern "C" DWORD WINAPI QorGattSetTraceFunction(LeTraceSink sink)
{
    constexpr ExportDecl kSetTraceFunction = QOR_EXPORT_UNTRACED(QorGattSetTraceFunction);
    return RunExport(kSetTraceFunction, [&] {
        g_sink.store(sink, std::memory_order_release);
        return ERROR_SUCCESS;
    });
}
