#include <atomic>
#include <chrono>

#include "qortest.h"

namespace qortest {

namespace {

// The sink has no context argument: one capture at a time, process-wide.
std::mutex g_current_mutex;
TraceCapture *g_current = nullptr;

void WINAPI Sink(const char *line)
{
    std::lock_guard<std::mutex> lock(g_current_mutex);
    if (g_current)
        g_current->Add(line);
}

std::string Strip(const std::string &s)
{
    if (!s.empty() && s.back() == '\n')
        return s.substr(0, s.size() - 1);
    return s;
}

} // namespace

TraceCapture::TraceCapture()
{
    {
        std::lock_guard<std::mutex> lock(g_current_mutex);
        g_current = this;
    }
    QorGattSetTraceFunction(Sink);
}

TraceCapture::~TraceCapture()
{
    QorGattSetTraceFunction(nullptr);
    std::lock_guard<std::mutex> lock(g_current_mutex);
    if (g_current == this)
        g_current = nullptr;
}

void TraceCapture::Add(const char *line)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.emplace_back(line ? line : "");
    }
    changed_.notify_all();
}

bool TraceCapture::WaitMatch(const std::function<bool()> &done, DWORD timeout_ms)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), done);
}

size_t TraceCapture::CountLocked(const std::string &line) const
{
    std::string want = Strip(line);
    size_t n = 0;
    for (const std::string &l : lines_)
        n += Strip(l) == want;
    return n;
}

bool TraceCapture::WaitFor(const std::string &line, DWORD timeout_ms) { return WaitForCount(line, 1, timeout_ms); }

bool TraceCapture::WaitForCount(const std::string &line, size_t n, DWORD timeout_ms)
{
    return WaitMatch([&] { return CountLocked(line) >= n; }, timeout_ms);
}

bool TraceCapture::WaitForPrefix(const std::string &prefix, DWORD timeout_ms)
{
    return WaitMatch(
        [&] {
            for (const std::string &l : lines_)
                if (l.compare(0, prefix.size(), prefix) == 0)
                    return true;
            return false;
        },
        timeout_ms);
}

bool TraceCapture::WaitUntil(const std::function<bool(const std::vector<std::string> &)> &done, DWORD timeout_ms)
{
    return WaitMatch([&] { return done(lines_); }, timeout_ms);
}

size_t TraceCapture::Count(const std::string &line) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return CountLocked(line);
}

bool TraceCapture::Contains(const std::string &line) const { return Count(line) > 0; }

size_t TraceCapture::CountPrefix(const std::string &prefix) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const std::string &l : lines_)
        n += l.compare(0, prefix.size(), prefix) == 0;
    return n;
}

std::vector<std::string> TraceCapture::Lines() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

void TraceCapture::Clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
}

std::string TraceCapture::Dump() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::string all;
    for (const std::string &l : lines_)
        all += Strip(l) + "\n";
    return all;
}

void ControllerTest::SetUp()
{
    ASSERT_TRUE(ctl.IsOpen());
    ctl.Reset();
}

} // namespace qortest
