// sim capture: the controller's record of the simulated air written as a
// btsnoop file (HCI UART datalink) for a packet analyser; --follow goes on
// appending until Ctrl-C.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "sim.h"

namespace qorgatt {

namespace {

constexpr uint32_t kDatalinkH4 = 1002;
constexpr int64_t kMicrosYear0To1970 = 0x00dcddb30f2f8000;       // the file's timestamps count from year 0
constexpr int64_t kMicros1601To1970 = 11644473600LL * 1000000;   // FILETIME counts from 1601
constexpr uint16_t kAttChannel = 4;
constexpr uint32_t kReceived = 1, kCommandOrEvent = 2;          // btsnoop packet flags

// The controller's times are ticks of the performance counter; the wall clock
// of one moment maps them to microseconds since year 0.
class Clock {
public:
    explicit Clock(int64_t frequency) : frequency_(frequency)
    {
        LARGE_INTEGER now;
        FILETIME ft;
        QueryPerformanceCounter(&now);
        GetSystemTimePreciseAsFileTime(&ft);
        ticks_ = now.QuadPart;
        micros_ = static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime) / 10) -
                  kMicros1601To1970 + kMicrosYear0To1970;
    }
    int64_t Micros(int64_t ticks) const
    {
        int64_t d = ticks - ticks_;
        return micros_ + d / frequency_ * 1000000 + d % frequency_ * 1000000 / frequency_;
    }

private:
    int64_t frequency_, ticks_, micros_;
};

void PutBe32(std::vector<uint8_t> &out, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(v >> shift));
}

void PutLe16(std::vector<uint8_t> &out, uint32_t v)
{
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

// A btsnoop file: its header, then a record per packet, flushed after each batch.
class SnoopFile {
public:
    explicit SnoopFile(const std::string &path) : path_(path), f_(std::fopen(path.c_str(), "wb"))
    {
        if (!f_)
            throw Failure("cannot write " + path + ": " + std::strerror(errno));
        std::vector<uint8_t> header = {'b', 't', 's', 'n', 'o', 'o', 'p', 0};
        PutBe32(header, 1);
        PutBe32(header, kDatalinkH4);
        Put(header);
    }
    ~SnoopFile() { std::fclose(f_); }
    SnoopFile(const SnoopFile &) = delete;
    SnoopFile &operator=(const SnoopFile &) = delete;

    // An ATT PDU travels as an ACL packet carrying L2CAP on the ATT channel; an event as itself.
    void Write(const VctlCaptureRecord &r, const uint8_t *data, int64_t micros, uint32_t drops)
    {
        std::vector<uint8_t> packet(1, r.kind);
        if (r.kind == VCTL_CAPTURE_ATT) {
            // Packet boundary: a first non-flushable fragment from the host, a first flushable one to it.
            PutLe16(packet, r.conn_handle | (r.direction == VCTL_CAPTURE_RECEIVED ? 0x2000u : 0u));
            PutLe16(packet, 4u + r.len);
            PutLe16(packet, r.len);
            PutLe16(packet, kAttChannel);
        }
        packet.insert(packet.end(), data, data + r.len);
        std::vector<uint8_t> rec;
        PutBe32(rec, static_cast<uint32_t>(packet.size()));
        PutBe32(rec, static_cast<uint32_t>(packet.size()));
        PutBe32(rec, (r.direction == VCTL_CAPTURE_RECEIVED ? kReceived : 0) |
                         (r.kind == VCTL_CAPTURE_EVENT ? kCommandOrEvent : 0));
        PutBe32(rec, drops);
        PutBe32(rec, static_cast<uint32_t>(static_cast<uint64_t>(micros) >> 32));
        PutBe32(rec, static_cast<uint32_t>(micros));
        rec.insert(rec.end(), packet.begin(), packet.end());
        Put(rec);
    }
    void Flush()
    {
        if (std::fflush(f_) != 0)
            throw Failure("writing " + path_ + " failed: " + std::strerror(errno));
    }

private:
    void Put(const std::vector<uint8_t> &bytes)
    {
        if (std::fwrite(bytes.data(), 1, bytes.size(), f_) != bytes.size())
            throw Failure("writing " + path_ + " failed: " + std::strerror(errno));
    }
    std::string path_;
    FILE *f_;
};

// Reads the capture from where it left off, noting the records it never saw.
class CaptureReader {
public:
    explicit CaptureReader(Controller &ctl) : ctl_(ctl), buffer_(256 * 1024) {}

    // Writes every record made since the last call; false when the controller does not record.
    bool Drain(SnoopFile &out)
    {
        for (;;) {
            VctlCaptureQuery q{next_};
            DWORD got = 0;
            Check("reading the capture", ctl_.Request(VCTL_CAPTURE_READ, &q, sizeof q, buffer_.data(),
                                                      buffer_.size(), &got));
            VctlCaptureHeader h;
            std::memcpy(&h, buffer_.data(), sizeof h);
            Take(h);
            size_t at = sizeof h;
            for (uint32_t i = 0; i < h.count; ++i) {
                VctlCaptureRecord r;
                std::memcpy(&r, buffer_.data() + at, sizeof r);
                out.Write(r, buffer_.data() + at + sizeof r, clock_->Micros(r.time), lost_);
                at += sizeof r + r.len;
                next_ = r.seq + 1;
                ++written_;
            }
            if (h.count == 0 || next_ >= h.total) {
                out.Flush();
                return h.enabled != 0;
            }
        }
    }
    uint32_t Written() const { return written_; }
    uint32_t Lost() const { return lost_; }

private:
    // The first read starts at the oldest record kept, the ring's overflow lost
    // before it; a later one loses whatever was overwritten since.
    void Take(const VctlCaptureHeader &h)
    {
        if (!clock_) {
            clock_ = std::make_unique<Clock>(h.frequency);
            lost_ = h.lost;
            next_ = h.oldest;
        } else if (h.oldest > next_) {
            lost_ += h.oldest - next_;
            next_ = h.oldest;
        }
    }
    Controller &ctl_;
    std::vector<uint8_t> buffer_;
    std::unique_ptr<Clock> clock_;
    uint32_t next_ = 0, written_ = 0, lost_ = 0;
};

// A handle of its own for the waits of --follow, so that Ctrl-C can end one.
class ChangeWait {
public:
    ChangeWait()
        : h_(CreateFileA(ZOREROVA_DEVICE_NAME, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr))
    {
        if (h_ == INVALID_HANDLE_VALUE)
            throw Failure("cannot open the virtual controller: " + CodeText(GetLastError()));
    }
    ~ChangeWait() { CloseHandle(h_); }
    ChangeWait(const ChangeWait &) = delete;
    ChangeWait &operator=(const ChangeWait &) = delete;

    // Until anything the controller counts changes after `generation`; false when Ctrl-C came first.
    bool Until(uint32_t generation)
    {
        Event done;
        OVERLAPPED ov{};
        ov.hEvent = done.Handle();
        uint32_t now = 0;
        DWORD bytes = 0;
        if (DeviceIoControl(h_, VCTL_WAIT_CHANGE, &generation, sizeof generation, &now, sizeof now, &bytes, &ov))
            return !WaitForInterrupt(0);
        if (GetLastError() != ERROR_IO_PENDING)
            throw Failure("waiting for the controller failed: " + CodeText(GetLastError()));
        WaitForInterrupt(INFINITE, done.Handle());
        const bool changed = done.Wait(0);
        if (!changed)
            CancelIo(h_);
        GetOverlappedResult(h_, &ov, &bytes, TRUE);
        return changed;
    }

private:
    HANDLE h_;
};

void SimCapture(const std::string &path, bool follow)
{
    Controller ctl;
    SnoopFile out(path);
    CaptureReader reader(ctl);
    bool recording = reader.Drain(out);
    if (follow) {
        ChangeWait wait;
        Note("capturing to %s until Ctrl-C (%u record(s) so far)\n", path.c_str(), reader.Written());
        for (uint32_t gen = ctl.Generation(); wait.Until(gen); gen = ctl.Generation())
            recording = reader.Drain(out);
        reader.Drain(out);
    }
    Note("%u record(s) written to %s (btsnoop, HCI UART): open it with wireshark or tshark -r\n", reader.Written(),
         path.c_str());
    if (reader.Lost())
        Note("%u older record(s) were lost: the controller's ring keeps the newest %u\n", reader.Lost(),
             VCTL_CAPTURE_CAPACITY);
    if (!recording)
        Note("the controller's capture is off: nothing new is recorded\n");
}

void Add(CLI::App &app)
{
    struct Args {
        std::string file;
        bool follow = false;
    };
    CLI::App *sim = app.get_subcommand("sim");
    auto a = std::make_shared<Args>();
    CLI::App *capture = sim->add_subcommand("capture", "Write what the simulated links carried to FILE, a btsnoop "
                                                       "capture for Wireshark or tshark");
    capture->add_option("FILE", a->file, "the capture file to write")->required();
    capture->add_flag("--follow", a->follow, "keep appending what the links carry until Ctrl-C");
    Chain(capture, a, [](const Args &args) { SimCapture(args.file, args.follow); });
}

const Group kGroup(12, Add);

} // namespace

} // namespace qorgatt
