// cvf-flash as a program: its exit statuses, what it writes to the devices,
// its JSON events and texts, the question on a terminal, several devices at
// once, watch mode and the end on a signal. Every device is cvf-devsim on a
// pseudo-terminal, published in a port folder of the test's own; the
// machine's sysfs is replaced by an empty folder, so no real port is seen.

#include "app/workflow/PortChoice.h"
#include "firmware/FirmwareImage.h"
#include "app/workflow/StringIds.h"
#include "app/workflow/StringTable.h"
#include "link/UsbInfo.h"
#include "ChildCommand.h"
#include "DeviceRecords.h"
#include "FirmwareMaker.h"
#include "Pty.h"
#include "SimDevice.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <regex>
#include <fstream>
#include <sstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>


namespace {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

// cvf-flash as a child process. Standard input is /dev/null, or with a
// terminal all three standard streams are that terminal's slave side.
class CFlash {
public:
    struct Setup {
        std::string runtimeDir;     // XDG_RUNTIME_DIR: where its port folder is
        std::string language = "C"; // LANG
        const Pty* terminal = nullptr;
        bool stuckOutput = false;   // standard output a pipe that is full and never read
        int descriptorLimit = 0;    // RLIMIT_NOFILE of its own, when not 0
    };

    CFlash(const std::vector<std::string>& args, const Setup& setup) : m_terminal(setup.terminal)
    {
        std::vector<std::string> argv = {CVF_FLASH};
        argv.insert(argv.end(), args.begin(), args.end());
        CChildCommand command(std::move(argv));
        for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES"})
            command.RemoveEnv(name);
        command.SetEnv("XDG_RUNTIME_DIR", setup.runtimeDir);
        command.SetEnv("LANG", setup.language);
        command.SetEnv("TERM", m_terminal ? "xterm" : "dumb");

        int out[2] = {-1, -1};
        int err[2] = {-1, -1};
        if (!m_terminal && (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0))
            return;
        if (setup.stuckOutput) {
            // Filled to the brim before it starts; its first write waits.
            fcntl(out[1], F_SETFL, O_NONBLOCK);
            const std::string block(4096, 'x');
            while (write(out[1], block.data(), block.size()) > 0) {
            }
            fcntl(out[1], F_SETFL, 0);
            m_stuck = true;
        }
        char* const* argp = command.Argv();
        char* const* envp = command.Envp();

        m_pid = fork();
        if (m_pid == 0) {
            if (setup.descriptorLimit > 0) {
                const rlimit limit{static_cast<rlim_t>(setup.descriptorLimit), static_cast<rlim_t>(setup.descriptorLimit)};
                setrlimit(RLIMIT_NOFILE, &limit);
            }
            if (m_terminal) {
                setsid();
                const int slave = m_terminal->Slave();
                dup2(slave, 0);
                dup2(slave, 1);
                dup2(slave, 2);
            } else {
                // A job of its own, as a shell starts it: the group cannot
                // be left orphaned with a stopped member, which the kernel
                // would hang up (SIGHUP) when one of its processes ends.
                setpgid(0, 0);
                const int null = open("/dev/null", O_RDONLY);
                dup2(null, 0);
                dup2(out[1], 1);
                dup2(err[1], 2);
            }
            execve(argp[0], argp, envp);
            _exit(127);
        }
        if (!m_terminal) {
            close(out[1]);
            close(err[1]);
            m_out = out[0];
            m_err = err[0];
        }
    }
    ~CFlash()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        for (int fd : {m_out, m_err}) {
            if (fd >= 0)
                close(fd);
        }
    }

    // Waits until standard output holds text; false after ms.
    bool WaitForOutput(const std::string& text, int ms = 20000)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        while (Out().find(text) == std::string::npos) {
            if (Clock::now() > deadline)
                return false;
            Pump(50);
        }
        return true;
    }

    void Signal(int number) { kill(m_pid, number); }
    pid_t Pid() const { return m_pid; }

    // Waits for the end; the exit status, or -1 when it did not end by
    // itself within ms (it is killed then).
    int Finish(int ms = 60000)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        int status = 0;
        for (;;) {
            Pump(20);
            const pid_t done = waitpid(m_pid, &status, WNOHANG);
            if (done == m_pid)
                break;
            if (Clock::now() > deadline) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, &status, 0);
                m_pid = -1;
                return -1;
            }
        }
        m_pid = -1;
        // What is still in the pipes.
        while (Pump(0)) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    const std::string& Out() const { return m_terminal ? m_screen : m_stdout; }
    const std::string& Err() const { return m_terminal ? m_screen : m_stderr; }

    // The JSON events of standard output, one a line.
    std::vector<Json> Events() const
    {
        std::vector<Json> events;
        size_t start = 0;
        while (start < m_stdout.size()) {
            size_t end = m_stdout.find('\n', start);
            if (end == std::string::npos)
                end = m_stdout.size();
            const std::string line = m_stdout.substr(start, end - start);
            const Json event = Json::parse(line, nullptr, false);
            EXPECT_TRUE(event.is_object() && event.contains("event")) << "not a JSON event: " << line;
            events.push_back(event);
            start = end + 1;
        }
        return events;
    }

private:
    // Reads what is there within ms; true when something came.
    bool Pump(int ms)
    {
        std::vector<pollfd> fds;
        std::vector<std::string*> sinks;
        if (m_terminal) {
            fds.push_back({m_terminal->Master(), POLLIN, 0});
            sinks.push_back(&m_screen);
        } else {
            for (auto [fd, sink] : {std::pair{m_out, &m_stdout}, std::pair{m_err, &m_stderr}}) {
                if (fd >= 0 && !(m_stuck && fd == m_out)) {
                    fds.push_back({fd, POLLIN, 0});
                    sinks.push_back(sink);
                }
            }
        }
        if (fds.empty() || poll(fds.data(), fds.size(), ms) <= 0)
            return false;
        bool got = false;
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].revents == 0)
                continue;
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
                got = true;
            }
        }
        return got;
    }

    const Pty* m_terminal;
    bool m_stuck = false;
    pid_t m_pid = -1;
    int m_out = -1;
    int m_err = -1;
    std::string m_stdout;
    std::string m_stderr;
    std::string m_screen;
};

Json Without(Json event, std::initializer_list<const char*> keys)
{
    for (const char* key : keys)
        event.erase(key);
    return event;
}

// 2026-12-08T10:15:30.123Z
bool IsIsoTime(const std::string& text)
{
    static const std::regex pattern("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}Z");
    return std::regex_match(text, pattern);
}

std::vector<Json> EventsOf(const std::vector<Json>& events, const std::string& kind)
{
    std::vector<Json> found;
    for (const Json& event : events) {
        if (event.value("event", "") == kind)
            found.push_back(event);
    }
    return found;
}

class FlashTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_dir.Path().empty());
        m_runtime = m_dir.File("run");
        m_ports = m_runtime + "/cvf-update/ports";
        m_sysfs = m_dir.File("sys");
        for (const std::string& d : {m_runtime, m_runtime + "/cvf-update", m_ports, m_sysfs})
            ASSERT_EQ(mkdir(d.c_str(), 0700), 0) << d;
        m_file = m_dir.WriteFirmware("fw.CVF", SmallFirmware());
        ASSERT_FALSE(m_file.empty());
    }

    // A simulated device published in our port folder under name.
    std::unique_ptr<CSimDevice> Device(const std::string& name, std::vector<std::string> args = {})
    {
        args.insert(args.end(), {"--port-dir", m_ports, "--image-out", "image.txt"});
        auto device = std::make_unique<CSimDevice>(args, false, name);
        EXPECT_TRUE(device->IsReady()) << name;
        return device;
    }

    CFlash::Setup Setup(const std::string& language = "C", const Pty* terminal = nullptr) const
    {
        return {m_runtime, language, terminal};
    }

    // cvf-flash with the empty sysfs and the given arguments, to its end.
    int Run(std::vector<std::string> args, std::unique_ptr<CFlash>* keep = nullptr,
            const std::string& language = "C")
    {
        args.insert(args.begin(), {"--sysfs", m_sysfs});
        auto flash = std::make_unique<CFlash>(args, Setup(language));
        const int status = flash->Finish();
        if (keep)
            *keep = std::move(flash);
        return status;
    }

    bool ImageIsTheFile(const CSimDevice& device) const
    {
        return ReadDeviceImage(device.File("image.txt")) == ImageOfFile(m_file);
    }

    CTempDir m_dir;
    std::string m_runtime;
    std::string m_ports;
    std::string m_sysfs;
    std::string m_file;
};

}  // namespace

TEST_F(FlashTest, OneDeviceGetsTheCheckedFileAndTheJsonLinesSaySo)
{
    const auto device = Device("COM5");
    std::unique_ptr<CFlash> flash;
    ASSERT_EQ(Run({"-y", "--json", m_file}, &flash), 0) << flash->Err();
    EXPECT_TRUE(ImageIsTheFile(*device));
    EXPECT_EQ(RequestsAfterLines(*device), std::vector<std::string>{"RST"});

    const std::vector<Json> events = flash->Events();
    ASSERT_GE(events.size(), 5u);
    // Every event says when, and in which run.
    const std::string run = events.front().value("run", "");
    EXPECT_EQ(run.size(), 36u);
    for (const Json& event : events) {
        EXPECT_EQ(event.value("run", ""), run);
        EXPECT_TRUE(IsIsoTime(event.value("time", ""))) << event;
    }
    EXPECT_EQ(Without(events.front(), {"time", "run"}),
              (Json{{"event", "file"},
                    {"path", m_file},
                    {"device", "Demo Controller"},
                    {"index", "CVF-DEMO-0001"},
                    {"version", "  "},
                    {"bytes", 512},
                    {"sha256", HexDigest(Sha256(ReadFile(m_file)))}}));
    const std::vector<Json> found = EventsOf(events, "found");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(Without(found[0], {"time", "run"}),
              (Json{{"event", "found"}, {"port", "COM5"}, {"compatible", true}, {"version", "SIM-1.00  SIM-1.00"}}));
    int last = -1;
    for (const Json& progress : EventsOf(events, "progress")) {
        const int percent = progress.at("percent").get<int>();
        EXPECT_GT(percent, last);
        EXPECT_LE(percent, 100);
        EXPECT_EQ(progress.contains("remaining_s"), percent >= 10) << progress;
        last = percent;
    }
    EXPECT_EQ(last, 100);
    const std::vector<Json> results = EventsOf(events, "result");
    ASSERT_EQ(results.size(), 1u);
    const Json& result = results[0];
    EXPECT_EQ(result.at("port"), "COM5");
    EXPECT_EQ(result.at("outcome"), "done");
    EXPECT_TRUE(result.at("seconds").is_number());
    EXPECT_EQ(result.at("path"), device->DevicePath());
    EXPECT_TRUE(result.at("usb").is_null());
    EXPECT_TRUE(IsIsoTime(result.at("started").get<std::string>()));
    EXPECT_LE(result.at("started").get<std::string>(), result.at("ended").get<std::string>());
    EXPECT_EQ(result.at("from_version"), "SIM-1.00  SIM-1.00");
    EXPECT_EQ(result.at("to_version"), "  ");
    EXPECT_EQ(result.at("file_sha256"), events.front().at("sha256"));
    EXPECT_EQ(result.at("attempts"), 1);
    ASSERT_EQ(result.at("lines").size(), 3u);
    EXPECT_EQ(result.at("lines")[1], "The Demo Controller has been rebooted.");
    EXPECT_FALSE(result.contains("device_index"));
    // The last line sums the run up.
    const Json& summary = events.back();
    EXPECT_EQ(summary.at("event"), "summary");
    EXPECT_EQ(summary.at("exit"), 0);
    EXPECT_EQ(summary.at("counts").at("done"), 1);
    EXPECT_EQ(summary.at("counts").at("flash_error"), 0);
    EXPECT_EQ(summary.at("counts").size(), 14u) << summary;  // every name of the outcome table
}

TEST_F(FlashTest, ThreeAtOnceTheFaultOfOneIsTheExitStatus)
{
    const auto first = Device("COM1");
    const auto faulty = Device("COM2", {"--fault", "flash:5"});
    const auto third = Device("COM3");
    std::unique_ptr<CFlash> flash;
    EXPECT_EQ(Run({"-a", "-y", "--json", m_file}, &flash), 8) << flash->Err();
    EXPECT_TRUE(ImageIsTheFile(*first));
    EXPECT_TRUE(ImageIsTheFile(*third));
    EXPECT_EQ(RequestsAfterLines(*faulty), (std::vector<std::string>{"DPZ", "RST"}));

    std::map<std::string, std::string> outcomes;
    for (const Json& result : EventsOf(flash->Events(), "result"))
        outcomes[result.at("port").get<std::string>()] = result.at("outcome").get<std::string>();
    EXPECT_EQ(outcomes, (std::map<std::string, std::string>{{"COM1", "done"}, {"COM2", "flash_error"}, {"COM3", "done"}}));
}

TEST_F(FlashTest, EveryEndHasItsExitStatus)
{
    MakerOptions open = SmallFirmware();
    open.blocks = 1;
    open.finalMarker = false;  // every line is taken, but no block ever ends
    const std::string openFile = m_dir.WriteFirmware("open.CVF", open);
    MakerOptions bad = SmallFirmware();
    bad.badChecksumLine = 3;
    const std::string badFile = m_dir.WriteFirmware("bad.CVF", bad);
    const std::string headless = m_dir.Write("headless.CVF", "[DATA]\r\n");

    struct Case {
        const char* what;
        std::vector<std::string> deviceArgs;  // none: no device at all
        std::vector<std::string> args;
        int status;
        const char* outcome;  // of the one result event; nullptr: none
        const char* message = "";  // in the error event's message
    };
    std::filesystem::create_directory(m_dir.File("folder.CVF"));
    const std::vector<Case> cases = {
        {"faulty file", {}, {badFile}, 2, nullptr},
        {"unexpected format", {}, {headless}, 2, nullptr},
        {"missing file", {}, {m_dir.File("none.CVF")}, 2, nullptr, "couldn't be opened. No such file or directory"},
        {"a folder", {}, {m_dir.File("folder.CVF")}, 2, nullptr, "couldn't be opened. Is a directory"},
        {"not a terminal", {""}, {"-p", "/dev/null", m_file}, 3, nullptr, "/dev/null is not a serial port (not a terminal)"},
        {"no port", {}, {m_file}, 3, nullptr},
        {"unknown port", {""}, {"-p", "COM9", m_file}, 3, nullptr},
        {"no device", {"--no-update-mode"}, {m_file}, 4, "no_device"},
        {"not compatible", {"--index", "OTHER-INDEX"}, {m_file}, 5, "incompatible"},
        {"incomplete", {""}, {openFile}, 6, "incomplete"},
        {"write-read error", {"--fault", "badsum:3"}, {m_file}, 7, "write_read_error"},
        {"flash error", {"--fault", "flash:3"}, {m_file}, 8, "flash_error"},
        {"unknown option", {""}, {"--bogus", m_file}, 1, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::unique_ptr<CSimDevice> device;
        if (!c.deviceArgs.empty()) {
            std::vector<std::string> args = c.deviceArgs;
            if (args[0].empty())
                args.clear();
            device = Device("COM4", args);
        }
        std::vector<std::string> args = {"-y", "--json"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        std::unique_ptr<CFlash> flash;
        EXPECT_EQ(Run(args, &flash), c.status) << flash->Out() << flash->Err();
        const std::vector<Json> events = flash->Events();
        const std::vector<Json> results = EventsOf(events, "result");
        if (c.outcome) {
            ASSERT_EQ(results.size(), 1u);
            EXPECT_EQ(results[0].at("outcome"), c.outcome);
        } else {
            EXPECT_TRUE(results.empty());
            const std::vector<Json> errors = EventsOf(events, "error");
            ASSERT_EQ(errors.size(), 1u) << flash->Out();
            EXPECT_EQ(errors[0].at("code"), c.status);
            EXPECT_NE(errors[0].at("message").get<std::string>().find(c.message), std::string::npos) << errors[0];
        }
        EXPECT_EQ(events.back().at("event"), c.status == 1 ? Json("error") : Json("summary"));
        if (device && c.status == 2) {
            EXPECT_TRUE(Requests(*device).empty());
        }
    }
}

TEST_F(FlashTest, DryRunAndRefusalWriteNothing)
{
    const auto device = Device("COM5");
    // No terminal to ask on and no --yes: refused before anything is sent.
    std::unique_ptr<CFlash> flash;
    EXPECT_EQ(Run({m_file}, &flash), 1);
    EXPECT_NE(flash->Err().find(Text(IDS_FLASH_NO_TERMINAL, Language::English)), std::string::npos) << flash->Err();
    EXPECT_TRUE(Requests(*device).empty());

    // A dry run needs no terminal: it searches, shows the versions and
    // restarts the device as after "No".
    ASSERT_EQ(Run({"-n", m_file}, &flash), 0) << flash->Err();
    EXPECT_EQ(Requests(*device), (std::vector<std::string>{"ASP", "PSD", "EAE", "RST"}));
    EXPECT_NE(flash->Out().find("COM5: Current software version: SIM-1.00  SIM-1.00"), std::string::npos)
        << flash->Out();
    EXPECT_NE(flash->Out().find("COM5: Compatible; nothing was written (dry run)"), std::string::npos);
}

TEST_F(FlashTest, SignalsWindDownARunningTransfer)
{
    // 18 lines of 100 ms each: the signals come in the middle.
    const auto device = Device("COM5", {"--line-time", "100"});
    CFlash flash({"--sysfs", m_sysfs, "-y", "--json", m_file}, Setup());
    ASSERT_TRUE(flash.WaitForOutput("\"progress\"")) << flash.Err();
    flash.Signal(SIGINT);
    // A second one does not cut the wind-down short.
    flash.Signal(SIGTERM);
    EXPECT_EQ(flash.Finish(), 130) << flash.Err();
    EXPECT_EQ(RequestsAfterLines(*device), (std::vector<std::string>{"DPZ", "RST"}));
    const std::vector<Json> results = EventsOf(flash.Events(), "result");
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].at("outcome"), "stopped");
    // The port is free again.
    EXPECT_EQ(ProbePortState(device->DevicePath()), PortState::Free);
}

// The device processes of a running cvf-flash (children of one of its threads).
std::vector<pid_t> DeviceProcesses(pid_t flash)
{
    std::vector<pid_t> found;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(flash) + "/task", error)) {
        std::ifstream children(task.path() / "children");
        pid_t child = 0;
        while (children >> child) {
            std::ifstream comm("/proc/" + std::to_string(child) + "/comm");
            std::string name;
            if (comm >> name && name == "cvf-device")
                found.push_back(child);
        }
    }
    return found;
}

TEST_F(FlashTest, AWholeJobStoppedLongerThanTheSilenceLimitGoesOnWhenContinued)
{
    // Ctrl-Z (or a terminal held): everything stops; the parent is
    // continued a moment before its device processes.
    std::vector<std::unique_ptr<CSimDevice>> devices;
    for (const char* name : {"COM1", "COM2", "COM3"})
        devices.push_back(Device(name, {"--line-time", "60"}));
    CFlash flash({"--sysfs", m_sysfs, "-a", "-y", "--json", "--silence-limit", "4000", m_file}, Setup());
    ASSERT_TRUE(flash.WaitForOutput("\"progress\"")) << flash.Err();
    const std::vector<pid_t> workers = DeviceProcesses(flash.Pid());
    ASSERT_EQ(workers.size(), 3u);
    flash.Signal(SIGSTOP);
    for (pid_t pid : workers)
        kill(pid, SIGSTOP);
    std::this_thread::sleep_for(std::chrono::milliseconds(5500));
    flash.Signal(SIGCONT);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (pid_t pid : workers)
        kill(pid, SIGCONT);
    EXPECT_EQ(flash.Finish(), 0) << flash.Err() << flash.Out();
    for (const auto& device : devices) {
        EXPECT_TRUE(ImageIsTheFile(*device));
        EXPECT_EQ(RequestsAfterLines(*device), std::vector<std::string>{"RST"});
    }
}

TEST_F(FlashTest, AKilledDeviceProcessLeavesThePortAsItWasForTheNextRun)
{
    const auto device = Device("COM5", {"--line-time", "100"});
    const auto settings = [&device] {
        termios tio{};
        const int fd = open(device->DevicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        EXPECT_EQ(tcgetattr(fd, &tio), 0);
        close(fd);
        return std::tuple(cfgetospeed(&tio), tio.c_iflag, tio.c_oflag, tio.c_lflag);
    };
    const auto before = settings();
    CFlash flash({"--sysfs", m_sysfs, "-y", "--json", m_file}, Setup());
    ASSERT_TRUE(flash.WaitForOutput("\"progress\"")) << flash.Err();
    const std::vector<pid_t> workers = DeviceProcesses(flash.Pid());
    ASSERT_EQ(workers.size(), 1u);
    kill(workers[0], SIGKILL);
    EXPECT_EQ(flash.Finish(), 6) << flash.Err();
    EXPECT_NE(flash.Out().find("The update process for COM5 ended unexpectedly"), std::string::npos) << flash.Out();
    EXPECT_EQ(EventsOf(flash.Events(), "result").back().at("outcome"), "incomplete");
    EXPECT_EQ(ProbePortState(device->DevicePath()), PortState::Free);
    EXPECT_EQ(settings(), before);

    std::unique_ptr<CFlash> again;
    EXPECT_EQ(Run({"-y", m_file}, &again), 0) << again->Err();
    EXPECT_TRUE(ImageIsTheFile(*device));
}

TEST_F(FlashTest, ASignalWindsDownWhileStandardOutputIsBlocked)
{
    const auto device = Device("COM5", {"--line-time", "100"});
    CFlash::Setup setup = Setup();
    setup.stuckOutput = true;
    CFlash flash({"--sysfs", m_sysfs, "-y", "--json", m_file}, setup);
    ASSERT_TRUE(device->WaitForLog("line 3", 20000));
    flash.Signal(SIGTERM);
    EXPECT_EQ(flash.Finish(20000), 130) << flash.Err();
    EXPECT_EQ(RequestsAfterLines(*device), (std::vector<std::string>{"DPZ", "RST"}));
    EXPECT_EQ(ProbePortState(device->DevicePath()), PortState::Free);
}

// A USB adapter in the test's sysfs for the terminal behind device (its
// node's name under class/tty, as a real adapter's ttyUSB0 would be).
void GiveUsbIdentity(const std::string& sysfs, const CSimDevice& device, const std::string& serial)
{
    const std::string name = std::filesystem::path(device.DevicePath()).filename().string();
    const std::string usb = sysfs + "/devices/usb1/1-" + name;
    std::filesystem::create_directories(usb + "/1-" + name + ":1.0");
    std::filesystem::create_directories(sysfs + "/class/tty/" + name);
    std::ofstream(usb + "/idVendor") << "0403\n";
    std::ofstream(usb + "/idProduct") << "6001\n";
    std::ofstream(usb + "/serial") << serial << "\n";
    std::ofstream(usb + "/product") << "FT232R USB UART\n";
    std::filesystem::create_directory_symlink(usb + "/1-" + name + ":1.0", sysfs + "/class/tty/" + name + "/device");
}

std::vector<Json> JsonLines(const std::string& text)
{
    std::vector<Json> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(Json::parse(line, nullptr, false));
    return lines;
}

TEST_F(FlashTest, EveryUnitIsRecordedByRunsAppendingAtOnce)
{
    const auto first = Device("COM5");
    const auto second = Device("COM6");
    GiveUsbIdentity(m_sysfs, *first, "A10K");
    const std::string record = m_dir.File("units.jsonl");
    // Two runs at once, one of them choosing its adapter by USB identity.
    CFlash a({"--sysfs", m_sysfs, "-y", "--match", "403:6001:A10K", "--record", record, m_file}, Setup());
    CFlash b({"--sysfs", m_sysfs, "-y", "-p", "COM6", "--record", record, "--json", m_file}, Setup());
    EXPECT_EQ(a.Finish(), 0) << a.Err();
    EXPECT_EQ(b.Finish(), 0) << b.Err();
    EXPECT_TRUE(ImageIsTheFile(*first));
    EXPECT_TRUE(ImageIsTheFile(*second));

    const std::vector<Json> lines = JsonLines(ReadFile(record));
    ASSERT_EQ(lines.size(), 2u) << ReadFile(record);
    std::map<std::string, Json> byPort;
    for (const Json& line : lines) {
        ASSERT_TRUE(line.is_object());
        byPort[line.value("port", "")] = line;
        EXPECT_EQ(line.at("file"), std::filesystem::absolute(m_file).string());
        EXPECT_EQ(line.at("file_sha256"), HexDigest(Sha256(ReadFile(m_file))));
        EXPECT_EQ(line.at("outcome"), "done");
        EXPECT_EQ(line.at("from_version"), "SIM-1.00  SIM-1.00");
    }
    ASSERT_EQ(byPort.count("COM5"), 1u);
    EXPECT_EQ(byPort["COM5"].at("usb"),
              (Json{{"vendor", "0403"}, {"product", "6001"}, {"serial", "A10K"}, {"name", "FT232R USB UART"}}));
    EXPECT_EQ(byPort["COM5"].at("path"), first->DevicePath());
    EXPECT_TRUE(byPort["COM6"].at("usb").is_null());
    EXPECT_NE(byPort["COM5"].at("run"), byPort["COM6"].at("run"));
    // What --json printed is the record but for the file.
    const std::vector<Json> results = EventsOf(b.Events(), "result");
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0], Without(byPort["COM6"], {"file"}));

    // An identity nobody has: nothing is sent, and the run says why.
    std::unique_ptr<CFlash> none;
    EXPECT_EQ(Run({"-a", "-y", "--match", "1234:5678", m_file}, &none), 3) << none->Err();
    EXPECT_NE(none->Err().find(Text(IDS_NO_PORT, Language::English)), std::string::npos) << none->Err();
    EXPECT_EQ(Requests(*first).size(), Requests(*second).size()) << "neither heard anything more";
    // A record that cannot be kept ends the run before anything is sent.
    std::unique_ptr<CFlash> unkept;
    EXPECT_EQ(Run({"-y", "--record", m_dir.File("no-such-dir/units.jsonl"), m_file}, &unkept), 1);
    EXPECT_EQ(Run({"-y", "--record", "", m_file}, &unkept), 1) << "an empty name keeps no record";
    EXPECT_EQ(Requests(*first).size(), Requests(*second).size());
}

TEST_F(FlashTest, ExpectCountsTheBoardsAndRetryRepeatsAFailedUpdate)
{
    const auto flaky = Device("COM5", {"--fault", "flash:5:1"});
    const auto silent = Device("COM6", {"--no-update-mode"});
    std::unique_ptr<CFlash> flash;
    // The hub passes only with two updated boards: the silent one makes 9.
    EXPECT_EQ(Run({"-a", "-y", "--json", "--retry", "1", "--expect", "2", m_file}, &flash), 9) << flash->Err();
    EXPECT_TRUE(ImageIsTheFile(*flaky));
    const std::vector<Json> events = flash->Events();
    std::map<std::string, Json> results;
    for (const Json& result : EventsOf(events, "result"))
        results[result.at("port").get<std::string>()] = result;
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results["COM5"].at("outcome"), "done");
    EXPECT_EQ(results["COM5"].at("attempts"), 2) << "one transfer failed, the second was done";
    EXPECT_EQ(results["COM6"].at("outcome"), "no_device");
    EXPECT_EQ(events.back().at("event"), "summary");
    EXPECT_EQ(events.back().at("exit"), 9);
    EXPECT_EQ(events.back().at("counts").at("done"), 1);
    // Without a retry the flash error is its result; --expect 1 passes a
    // hub whose one board was updated.
    const auto again = Device("COM7", {"--fault", "flash:5:1"});
    EXPECT_EQ(Run({"-y", "-p", "COM7", m_file}, &flash), 8);
    EXPECT_EQ(Run({"-y", "-p", "COM7", "--expect", "1", m_file}, &flash), 0) << flash->Err();
}

TEST_F(FlashTest, ManyDevicesWithFewDescriptorsOrFewJobsEachGetTheirResult)
{
    std::vector<std::unique_ptr<CSimDevice>> devices;
    for (int i = 0; i < 24; ++i)
        devices.push_back(Device("COM" + std::to_string(10 + i)));
    CFlash::Setup tight = Setup();
    // Far below what 24 devices at once would take (three or more each).
    // Under the sanitizers enough for all: their runtime checks memory
    // through a pipe of its own and reports a false fault when cvf-flash
    // has used every descriptor, so the limit is reached in the normal
    // build only.
#ifdef __SANITIZE_ADDRESS__
    tight.descriptorLimit = 160;
#else
    tight.descriptorLimit = 40;
#endif
    CFlash flash({"--sysfs", m_sysfs, "-a", "-y", "--json", m_file}, tight);
    EXPECT_EQ(flash.Finish(120000), 0) << flash.Out() << flash.Err();
    std::set<std::string> ports;
    for (const Json& result : EventsOf(flash.Events(), "result")) {
        EXPECT_EQ(result.at("outcome"), "done") << result;
        EXPECT_TRUE(ports.insert(result.at("port").get<std::string>()).second) << "one result a port";
    }
    EXPECT_EQ(ports.size(), 24u);
    EXPECT_TRUE(EventsOf(flash.Events(), "error").empty()) << flash.Out();

    // --jobs 3: never more than three device processes at once.
    CFlash jobs({"--sysfs", m_sysfs, "-a", "-y", "--jobs", "3", m_file}, Setup());
    size_t most = 0;
    while (!jobs.WaitForOutput("24 updated", 20))
        most = std::max(most, DeviceProcesses(jobs.Pid()).size());
    EXPECT_EQ(jobs.Finish(), 0) << jobs.Err();
    EXPECT_LE(most, 3u);
    EXPECT_GE(most, 2u);
}

TEST_F(FlashTest, ATerminalShowsManyDevicesWithinItsLinesAndAtACostThatGrowsWithThem)
{
    std::vector<std::unique_ptr<CSimDevice>> devices;
    for (int i = 0; i < 32; ++i)
        devices.push_back(Device("COM" + std::to_string(10 + i), {"--line-time", "200"}));
    Pty terminal;
    ASSERT_TRUE(terminal.Ok());
    terminal.SetSize(80, 24);
    CFlash flash({"--sysfs", m_sysfs, "-a", "-y", m_file}, Setup("C", &terminal));
    EXPECT_EQ(flash.Finish(120000), 0) << flash.Out();
    const std::string& screen = flash.Out();
    // One line sums up what does not fit.
    EXPECT_NE(screen.find(" running, "), std::string::npos);
    EXPECT_NE(screen.find("32 updated, 0 failed"), std::string::npos);
    // About four seconds of 32 devices: far from the quadratic megabytes
    // of a table redrawn whole on every change.
    EXPECT_LT(screen.size(), 256u * 1024) << screen.size();
    // Never more rows than the screen has lines, however many devices: no
    // cursor move goes up 24 lines or more.
    EXPECT_FALSE(std::regex_search(screen, std::regex("\x1b\\[(2[4-9]|[3-9][0-9])A")));
}

TEST_F(FlashTest, WatchModeAsksAboutEachPortOnItsOwn)
{
    std::map<std::string, std::unique_ptr<CSimDevice>> devices;
    devices["COM5"] = Device("COM5");
    devices["COM6"] = Device("COM6");
    Pty terminal;
    ASSERT_TRUE(terminal.Ok());
    CFlash flash({"--sysfs", m_sysfs, "-w", m_file}, Setup("C", &terminal));
    const std::string question = ": Would you like to execute the update now? [y/N] ";
    ASSERT_TRUE(flash.WaitForOutput(question)) << flash.Out();
    // Whichever answered first is asked about first, by its port; the
    // other waits, and what it reports waits with it.
    const size_t at = flash.Out().find(question);
    const std::string first = flash.Out().substr(at - 4, 4);
    const std::string second = first == "COM5" ? "COM6" : "COM5";
    ASSERT_TRUE(devices.count(first)) << flash.Out();
    EXPECT_EQ(flash.Out().find(second + question), std::string::npos);
    EXPECT_EQ(flash.Out().find(second + ": Have found", at), std::string::npos) << "held back while the question waits";
    terminal.WriteMaster("y\n");
    ASSERT_TRUE(flash.WaitForOutput(second + question)) << flash.Out();
    EXPECT_NE(flash.Out().find(second + ": Have found"), std::string::npos);
    terminal.WriteMaster("n\n");
    ASSERT_TRUE(flash.WaitForOutput(first + ": Firmware update ended")) << flash.Out();
    ASSERT_TRUE(flash.WaitForOutput(second + ": " + Text(IDS_FLASH_DECLINED, Language::English))) << flash.Out();
    flash.Signal(SIGINT);
    EXPECT_EQ(flash.Finish(10000), 1) << flash.Out();  // the "no" decides it
    EXPECT_TRUE(ImageIsTheFile(*devices[first]));
    EXPECT_EQ(RequestsAfterLines(*devices[second]), std::vector<std::string>{});
    EXPECT_EQ(Requests(*devices[second]).back(), "RST");
}

TEST_F(FlashTest, WatchUpdatesADevicePublishedLaterAndEndsOnSigint)
{
    CFlash flash({"--sysfs", m_sysfs, "-w", "-y", m_file}, Setup());
    ASSERT_TRUE(flash.WaitForOutput(Text(IDS_FLASH_WATCHING, Language::English))) << flash.Err();
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    const auto device = Device("COM7");
    ASSERT_TRUE(flash.WaitForOutput("COM7: Firmware update ended")) << flash.Out() << flash.Err();
    // Searched and updated once, although the port stays.
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    flash.Signal(SIGINT);
    EXPECT_EQ(flash.Finish(10000), 0) << flash.Out() << flash.Err();
    EXPECT_TRUE(ImageIsTheFile(*device));
    const std::vector<std::string> requests = Requests(*device);
    EXPECT_EQ(std::count(requests.begin(), requests.end(), "ASP"), 1);
}

TEST_F(FlashTest, OnATerminalItAsksInGermanAndRedrawsInPlace)
{
    // Slow enough for the bar to be drawn (at most ten times a second).
    const auto device = Device("COM5", {"--line-time", "30"});
    const std::string question = Text(IDS_UPDATE_QUESTION, Language::German) + Text(IDS_FLASH_ANSWER, Language::German);
    {
        // "n": the device restarts as it is.
        Pty terminal;
        ASSERT_TRUE(terminal.Ok());
        CFlash flash({"--sysfs", m_sysfs, m_file}, Setup("de_DE.UTF-8", &terminal));
        ASSERT_TRUE(flash.WaitForOutput(question)) << flash.Out();
        EXPECT_NE(flash.Out().find("COM5: Demo Controller kompatibles Gerat gefunden."), std::string::npos);
        terminal.WriteMaster("n\n");
        EXPECT_EQ(flash.Finish(), 1) << flash.Out();
        EXPECT_NE(flash.Out().find(Text(IDS_FLASH_DECLINED, Language::German)), std::string::npos);
        EXPECT_EQ(Requests(*device), (std::vector<std::string>{"ASP", "PSD", "EAE", "RST"}));
    }
    {
        // "j": the update, its bar redrawn in place.
        Pty terminal;
        CFlash flash({"--sysfs", m_sysfs, m_file}, Setup("de_DE.UTF-8", &terminal));
        ASSERT_TRUE(flash.WaitForOutput(question)) << flash.Out();
        terminal.WriteMaster("j\n");
        EXPECT_EQ(flash.Finish(), 0) << flash.Out();
        EXPECT_TRUE(ImageIsTheFile(*device));
        EXPECT_NE(flash.Out().find("COM5: Firmware Update erfolgreich abgeschlossen."), std::string::npos);
        // The bar in place (drawn at most ten times a second, so not
        // every percentage shows).
        EXPECT_TRUE(std::regex_search(flash.Out(), std::regex("\\] +[0-9]+ %"))) << flash.Out();
        EXPECT_NE(flash.Out().find("\x1b["), std::string::npos);
    }
    // Through a pipe: plain lines, no escape codes.
    std::unique_ptr<CFlash> flash;
    ASSERT_EQ(Run({"-y", m_file}, &flash, "de_DE.UTF-8"), 0);
    EXPECT_EQ(flash->Out().find('\x1b'), std::string::npos);
    EXPECT_NE(flash->Out().find("COM5: 100 % Ubertragen"), std::string::npos) << flash->Out();
}

TEST_F(FlashTest, ListTellsPortsStatesAndUsbDetails)
{
    const auto device = Device("COM5");
    std::unique_ptr<CFlash> flash;
    ASSERT_EQ(Run({"--list", "--json"}, &flash), 0);
    ASSERT_EQ(flash->Events().size(), 1u);
    EXPECT_EQ(Without(flash->Events()[0], {"time", "run"}),
              (Json{{"event", "port"}, {"port", "COM5"}, {"path", device->DevicePath()}, {"state", "free"}}));

    // Bash completes -p with the names of the list (the --sysfs of the
    // command line passed on).
    const std::string script = m_dir.Write(
        "complete.sh", std::string("source '" CVF_COMPLETION "'\nCOMP_WORDS=('" CVF_FLASH "' --sysfs '") + m_sysfs +
                           "' -p C)\nCOMP_CWORD=4\n_cvf_flash\nprintf '%s\\n' \"${COMPREPLY[@]}\"\n");
    const std::string command = "XDG_RUNTIME_DIR='" + m_runtime + "' bash '" + script + "'";
    FILE* completion = popen(command.c_str(), "r");
    ASSERT_NE(completion, nullptr);
    char words[256] = {};
    const size_t got = fread(words, 1, sizeof words - 1, completion);
    pclose(completion);
    EXPECT_EQ(std::string(words, got), "COM5\n");

    // The USB details come from the device's directory above the tty in
    // sysfs; a pseudo-terminal has none.
    const std::string usb = m_sysfs + "/devices/pci0000:00/usb1/1-2";
    const std::string tty = usb + "/1-2:1.0/ttyUSB7/tty/ttyUSB7";
    std::filesystem::create_directories(tty);
    std::filesystem::create_directories(m_sysfs + "/class/tty");
    m_dir.Write("sys/devices/pci0000:00/usb1/1-2/idVendor", "0403\n");
    m_dir.Write("sys/devices/pci0000:00/usb1/1-2/idProduct", "6001\n");
    m_dir.Write("sys/devices/pci0000:00/usb1/1-2/serial", "A10K\n");
    m_dir.Write("sys/devices/pci0000:00/usb1/1-2/product", "FT232R USB UART\n");
    std::filesystem::create_directory_symlink("../../devices/pci0000:00/usb1/1-2/1-2:1.0/ttyUSB7/tty/ttyUSB7",
                                              m_sysfs + "/class/tty/ttyUSB7");
    std::filesystem::create_directory_symlink("../../../ttyUSB7", tty + "/device");
    const std::optional<UsbInfo> info = ReadUsbInfo(m_sysfs, "/dev/ttyUSB7");
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->vendorId, "0403");
    EXPECT_EQ(info->productId, "6001");
    EXPECT_EQ(info->serial, "A10K");
    EXPECT_EQ(info->product, "FT232R USB UART");
    EXPECT_FALSE(ReadUsbInfo(m_sysfs, device->DevicePath()).has_value());
}
