// The qorgatt tool as a user sees it: each row runs one command line and
// checks its exit code and a piece of its output. A row whose exit code is not
// 0 must also leave the service store as it was.
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "qortest.h"

namespace {

const char kDevices[] = "SYSTEM\\CurrentControlSet\\services\\BTHPORT\\Parameters\\Devices";
const std::string kFiles = QORLE_SOURCE;

// One run of qorgatt with its stdout and stderr read into one text, and a
// pipe to its stdin.
class Command {
public:
    explicit Command(const std::string &args)
    {
        SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
        HANDLE write = nullptr, read = nullptr;
        CreatePipe(&read_, &write, &sa, 0);
        CreatePipe(&read, &input_, &sa, 0);
        SetHandleInformation(read_, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(input_, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOA si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = si.hStdError = write;
        si.hStdInput = read;
        std::string line = std::string("\"") + QORGATT_EXE + "\" " + args;
        started_ = CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi_);
        CloseHandle(write);
        CloseHandle(read);
        reader_ = std::thread([this] { Read(); });
    }
    void Input(const std::string &line)
    {
        DWORD n = 0;
        WriteFile(input_, (line + "\n").data(), static_cast<DWORD>(line.size() + 1), &n, nullptr);
    }
    ~Command()
    {
        EndInput();
        if (started_ && WaitForSingleObject(pi_.hProcess, 0) != WAIT_OBJECT_0)
            TerminateProcess(pi_.hProcess, 99);
        reader_.join();
        CloseHandle(read_);
        if (started_) {
            CloseHandle(pi_.hProcess);
            CloseHandle(pi_.hThread);
        }
    }
    bool WaitFor(const std::string &text, DWORD ms = 30000)
    {
        std::unique_lock<std::mutex> hold(lock_);
        return changed_.wait_for(hold, std::chrono::milliseconds(ms),
                                 [&] { return out_.find(text) != std::string::npos || done_; }) &&
               out_.find(text) != std::string::npos;
    }
    void EndInput()
    {
        if (input_)
            CloseHandle(input_);
        input_ = nullptr;
    }
    // The exit code once the program has ended (-1 if it did not, in 60 s).
    int Finish()
    {
        EndInput();
        DWORD code = static_cast<DWORD>(-1);
        if (!started_ || WaitForSingleObject(pi_.hProcess, 60000) != WAIT_OBJECT_0)
            return -1;
        GetExitCodeProcess(pi_.hProcess, &code);
        std::unique_lock<std::mutex> hold(lock_);
        changed_.wait_for(hold, std::chrono::seconds(10), [&] { return done_; });
        return static_cast<int>(code);
    }
    std::string Output()
    {
        std::lock_guard<std::mutex> hold(lock_);
        return out_;
    }

private:
    void Read()
    {
        char buf[4096];
        DWORD got = 0;
        while (started_ && ReadFile(read_, buf, sizeof buf, &got, nullptr) && got) {
            std::lock_guard<std::mutex> hold(lock_);
            for (DWORD i = 0; i < got; ++i)
                if (buf[i] != '\r')   // text-mode line ends
                    out_ += buf[i];
            changed_.notify_all();
        }
        std::lock_guard<std::mutex> hold(lock_);
        done_ = true;
        changed_.notify_all();
    }
    HANDLE read_ = nullptr, input_ = nullptr;
    PROCESS_INFORMATION pi_{};
    BOOL started_ = FALSE;
    std::thread reader_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::string out_;
    bool done_ = false;
};

// The whole store below the devices key as text: keys, value names, data.
std::string Store(HKEY parent = HKEY_LOCAL_MACHINE, const std::string &path = kDevices)
{
    HKEY key;
    if (RegOpenKeyExA(parent, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return "";
    std::string text = "[" + path + "]";
    char name[260];
    BYTE data[600];
    DWORD n = sizeof name, size = sizeof data;
    for (DWORD i = 0; RegEnumValueA(key, i, name, &n, nullptr, nullptr, data, &size) == ERROR_SUCCESS;
         ++i, n = sizeof name, size = sizeof data)
        text += std::string(name, n) + "=" + std::string(reinterpret_cast<char *>(data), size) + ";";
    for (DWORD i = 0; n = sizeof name, RegEnumKeyExA(key, i, name, &n, nullptr, nullptr, nullptr, nullptr) == 0; ++i)
        text += Store(key, std::string(name, n));
    RegCloseKey(key);
    return text;
}

// A row: "& ARGS" starts qorgatt in the background and goes on once `expect`
// shows; "< TEXT" gives it a line of input and waits for `expect`; "wait" ends
// its input, waits for its end and checks it.
struct Row {
    std::string args;
    int exit;
    std::string expect;
};

class Qorgatt : public qortest::ControllerTest {
protected:
    void SetUp() override
    {
        ControllerTest::SetUp();
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, (std::string(kDevices) + "\\0a1122334455").c_str());
    }
    void Play(const std::vector<Row> &rows)
    {
        std::unique_ptr<Command> background;
        for (const Row &row : rows) {
            SCOPED_TRACE("qorgatt " + row.args);
            const std::string before = Store();
            if (row.args[0] == '&' || row.args[0] == '<') {
                if (row.args[0] == '&')
                    background.reset(new Command(row.args.substr(2)));
                else
                    background->Input(row.args.substr(2));
                ASSERT_TRUE(background->WaitFor(row.expect)) << background->Output();
                continue;
            }
            std::unique_ptr<Command> run(row.args == "wait" ? background.release() : new Command(row.args));
            EXPECT_EQ(run->Finish(), row.exit) << run->Output();
            EXPECT_NE(run->Output().find(row.expect), std::string::npos) << run->Output();
            if (row.exit != 0) {
                EXPECT_EQ(Store(), before) << "a failed command changed the store";
            }
        }
    }
};

TEST_F(Qorgatt, PairsASimulatedDeviceAndListsTheStore)
{
    Play({
        {"sim add " + kFiles + "/demo/heart_rate.json", 0,
         "device 0A:11:22:33:44:55 added: 4 service(s), 21 attribute(s)"},
        {"& pair 0A:11:22:33:44:55", 0, "waiting up to 10 s for 0A:11:22:33:44:55 to connect"},
        {"sim link up 0a1122334455", 0, "link to 0A:11:22:33:44:55 up"},
        {"wait", 0,
         "  found descriptor #3\npaired 0A:11:22:33:44:55: 4 services, 7 characteristics, 3 descriptors stored"},
        {"devices", 0, "0A:11:22:33:44:55  4 service(s)\n  1800 "},
        {"devices --forget 0A:11:22:33:44:56", 0, "0A:11:22:33:44:56 is not in the store: nothing to forget"},
        {"devices --json", 0, "\"uuid\": \"180d\",\n        \"name\": \"Heart Rate\""},
        {"tree 0A:11:22:33:44:55", 0,
         "  characteristic 2a37                                   0x0007  0x0008  "
         "notify|indicate        Heart Rate Measurement\n"},
        {"tree 0a1122334455 --json", 0, "\"uuid\": \"2902\",\n            \"name\": \"Client Characteristic"},
        {"tree 00:00:00:00:00:01", 1, "nothing stored for 00:00:00:00:00:01 (pair it first: qorgatt pair ADDR)"},
        {"connect 0a1122334455 tree 0a1122334455", 0,
         "connected to 0A:11:22:33:44:55\n4 service(s) in its stored tree\n"
         "service        1800"},
        {"sim log", 0, "read               channel"},
        {"sim log --json", 0, "\"request\": \"deregister\""},
        // The last registration's end dropped the link: nothing connects now.
        {"trace pair 0a1122334455 --wait 1", 1, "did not connect within 1 s"},
        {"trace pair 0a1122334455 --wait 1", 1, "trace| QorGattPairingRegister: GATT_Register succeeded"},
        {"sim link down 0a1122334455", 0, "link to 0A:11:22:33:44:55 down"},
        {"devices --forget 0a1122334455", 0, "forgot 0A:11:22:33:44:55: its stored tree is removed"},
        {"tree 0a1122334455", 1, "nothing stored for 0A:11:22:33:44:55"},
    });
}

TEST_F(Qorgatt, RefusesBadInputWithoutTouchingTheStore)
{
    Play({
        {"", 2, "A subcommand is required"},
        {"--help", 0, "Exit codes: 0 done, 1 the operation failed, 2 bad input."},
        {"trace", 2, "trace needs a subcommand to run"},
        {"trace --help", 0, "Usage: qorgatt trace"},
        {"--version", 0, "qorgatt 1.0.0"},
        {"pair", 2, "ADDR is required"},
        {"pair 00:1A:7D:DA:71", 2, "'00:1A:7D:DA:71' is not a device address"},
        {"pair 0a1122334455 --wait 0", 2, "--wait: Value 0 not in range"},
        {"devices extra", 2, "The following argument was not expected: extra"},
        {"devices --forget 0a11223344", 2, "'0a11223344' is not a device address"},
        {"sim", 2, "A subcommand is required"},
        {"sim add " + kFiles + "/none.json", 2, "cannot open " + kFiles + "/none.json"},
        {"sim add " + kFiles + "/tests/tools/bad_device.json", 2, ".services[1]: \"18x0\" is not a UUID"},
        {"sim add " + kFiles + "/tests/tools/cut_device.json", 2, "cut_device.json: not valid JSON: line 3, column 1"},
        {"sim link sideways 0a1122334455", 2, "STATE: sideways not in {up,down}"},
        {"sim link up 0000000000aa", 1, "no simulated device 00:00:00:00:00:AA"},
        {"sim log --since", 2, "The following argument was not expected: --since"},
        {"tree 12345", 2, "'12345' is not a device address"},
        {"connect", 2, "ADDR is required"},
        {"connect 0a1122334455 --hold x", 2, "Could not convert: --hold = x"},
        {"read 0a1122334455 18x0 2a38", 2, "SERVICE: '18x0' is not a UUID"},
        {"write 0a1122334455 180d 2a39 zz", 2, "VALUE: 'zz' is not hex bytes"},
        {"write 0a1122334455 180d 2a39 " + std::string(1026, '0'), 2, "VALUE: 513 bytes; a value holds at most 512"},
        {"write 0a1122334455 180d 2a39 256 --format u8", 2, "VALUE: '256' is not a number from 0 to 255"},
        {"read 0a1122334455 180d 2a38 --format u64", 2, "--format: u64 not in {hex,utf8,u8,u16,u32,s8,s16,s32}"},
        {"watch 0a1122334455 180d", 2, "CHAR is required"},
        {"serve " + kFiles + "/none.json", 2, "cannot open"},
        {"sim notify 0a1122334455 0", 2, "HANDLE: '0' is not an attribute handle"},
        {"sim central 000000000c01 fly", 2, "ACTION: fly not in"},
        {"sim loopback 0000", 2, "'0000' is not a device address"},
        {"sim hold fly", 2, "REQUEST: fly not in"},
        {"sim lose-link 0000000000aa", 1, "no simulated device 00:00:00:00:00:AA"},
    });
}

TEST_F(Qorgatt, ReadsWritesAndWatchesASimulatedDevice)
{
    Play({
        {"sim add " + kFiles + "/demo/heart_rate.json", 0, "device 0A:11:22:33:44:55 added"},
        {"& pair 0A:11:22:33:44:55", 0, "to connect"},
        {"sim link up 0a1122334455", 0, "up"},
        {"wait", 0, "paired 0A:11:22:33:44:55"},
        {"read 0a1122334455 1800 2a00", 0, "2a00 of 0A:11:22:33:44:55: 51 6F 72 20 48 52 4D  \"Qor HRM\""},
        {"read 0a1122334455 180d 2a38 read 0a1122334455 0x180F 00002A19-0000-1000-8000-00805F9B34FB", 0,
         "2a38 of 0A:11:22:33:44:55: 01\n2a19 of 0A:11:22:33:44:55: 57"},
        {"read 0a1122334455 180f 2a19 --format u8 --json", 0,
         "{\"address\":\"0A:11:22:33:44:55\",\"service\":\"180f\","
         "\"characteristic\":\"2a19\",\"name\":\"Battery Level\",\"hex\":\"57\",\"value\":[87]}\n"},
        {"write 0a1122334455 7a1c0001-3d52-4e8b-9c61-2f0a5b8d4e17 {7a1c0003-3d52-4e8b-9c61-2f0a5b8d4e17} \"-2 300\" "
         "--format s16 read 0a1122334455 7a1c0001-3d52-4e8b-9c61-2f0a5b8d4e17 7a1c0003-3d52-4e8b-9c61-2f0a5b8d4e17",
         0, "written -2 300\n{7a1c0003-3d52-4e8b-9c61-2f0a5b8d4e17} of 0A:11:22:33:44:55: FE FF 2C 01"},
        {"read 0a1122334455 7a1c0001-3d52-4e8b-9c61-2f0a5b8d4e17 7a1c0003-3d52-4e8b-9c61-2f0a5b8d4e17 --format utf8 "
         "--json",
         0, "\"hex\":\"FE FF 2C 01\",\"value\":\"\xEF\xBF\xBD\xEF\xBF\xBD,\\u0001\"}"},
        {"read 0a1122334455 1812 2a4d", 1,
         "failed: 1168 (ERROR_NOT_FOUND): 0A:11:22:33:44:55 has no service 1812 "
         "(Human Interface Device) in its stored tree"},
        {"watch 0a1122334455 180d 2a38 --count 1", 1, "cannot watch 2a38 of 0A:11:22:33:44:55: it does not notify"},
        {"sim add " + kFiles + "/tests/tools/unpaired_device.json read 001a7dda7117 180f 2a19", 1,
         "failed: 1168 (ERROR_NOT_FOUND): nothing stored for 00:1A:7D:DA:71:17 (pair it first"},
        {"sim add " + kFiles + "/tests/tools/refusing_device.json connect 001a7dda7116", 1,
         "failed: 1359 (ERROR_INTERNAL_ERROR): the device refused the connection"},
        {"read 0a1122334455 180d 2a37 2902 write 0a1122334455 180d 2a39 01", 0,
         "2a37/2902 of 0A:11:22:33:44:55: 00 00\n2a39 of 0A:11:22:33:44:55: written 01"},
        {"read 0a1122334455 180d 2a37", 1, "reading 2a37 of 0A:11:22:33:44:55 failed: 5 (ERROR_ACCESS_DENIED)"},
        {"write 0a1122334455 180d 2a39 02 --no-wait", 0,
         "sent 02, not waited for\n2a39 of 0A:11:22:33:44:55: completion 0"},
        {"write 0a1122334455 180d 2a38 02", 1, "writing 2a38 of 0A:11:22:33:44:55 failed: 5 (ERROR_ACCESS_DENIED)"},
        {"& watch 0a1122334455 180d 2a37 --count 3", 0, "watching"},
        {"sim notify 0a1122334455 8 0061 --count 2", 0, "pushed 2 notification(s) of handle 0x0008"},
        {"sim notify 0a1122334455 0x08 --indicate", 0, "pushed 1 indication(s) of handle 0x0008"},
        {"wait", 0,
         "notification 2a37 Heart Rate Measurement: 00 61\nnotification 2a37 Heart Rate Measurement: 00 61\n"
         "indication 2a37 Heart Rate Measurement: 00 48\n3 event(s) from 2a37"},
        {"& watch 0a1122334455 180d 2a37 --count 1 --json --format u16", 0, "watching"},
        {"sim notify 0a1122334455 8 0061", 0, "pushed 1 notification(s)"},
        {"wait", 0,
         "\n{\"address\":\"0A:11:22:33:44:55\",\"service\":\"180d\",\"characteristic\":\"2a37\","
         "\"name\":\"Heart Rate Measurement\",\"hex\":\"00 61\",\"value\":[24832],"
         "\"event\":\"notification\"}\n"},
        {"& watch 0a1122334455 180d 2a37 --count 2 --format u16", 0, "watching"},
        {"sim notify 0a1122334455 8 006100", 0, "pushed 1 notification(s)"},
        {"sim notify 0a1122334455 8 0061", 0, "pushed 1 notification(s)"},
        {"wait", 0,
         "notification 2a37 Heart Rate Measurement: the value's 3 byte(s) are not whole 16-bit numbers: 00 61 00\n"
         "notification 2a37 Heart Rate Measurement: 24832\n2 event(s) from 2a37"},
        {"sim hold read --count 2", 0, "the events of the next 2 read request(s) are held until: qorgatt sim release"},
        {"sim release", 0, "released 0 held event(s)"},
        {"sim lose-link 0a1122334455", 0, "link to 0A:11:22:33:44:55 lost: no disconnection event was sent"},
    });
}

TEST_F(Qorgatt, ServesLocalServicesToASimulatedCentral)
{
    Play({
        {"& serve " + kFiles + "/demo/heart_rate_server.json", 0,
         "characteristic 2a19 Battery Level: value handle 0x000b\nservice 180f Battery started (handle 0x0009"},
        {"sim central 000000000c01 connect", 0, "central 00:00:00:00:0C:01 connected"},
        {"sim central 000000000c01 read 6", 0, "00:00:00:00:0C:01 read 0x0006: status 0x00, value 01"},
        {"sim central 000000000c01 read 0x0099", 1, "handle 0x0099: no local service holds that handle"},
        {"sim central 000000000c09 read 6", 1, "00:00:00:00:0C:09 is not a connected central"},
        {"sim central 000000000c01 write 8 05", 0, "00:00:00:00:0C:01 write 0x0008: status 0x00"},
        {"< notify 2a37 00 48", 0, "notify 2a37 to 00:00:00:00:0C:01: 0 (ERROR_SUCCESS)"},
        {"sim central 000000000c01 status", 0, "received 1 value(s)"},
        {"sim loopback 000000000c02", 0,
         "loopback device 00:00:00:00:0C:02 added: the local services' 11 attribute(s)"},
        {"wait", 0, "write request from 00:00:00:00:0C:01: 2a39 <- 05"},
    });
}

} // namespace
