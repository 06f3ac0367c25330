// The port list over a fake port directory and sysfs tree in a temp dir,
// and the publisher that puts ports there.

#include "link/PortList.h"
#include "link/PortPublisher.h"

#include "Pty.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

class TempTree {
public:
    TempTree()
    {
        char templ[] = "/tmp/portlist-test-XXXXXX";
        const char* d = mkdtemp(templ);
        if (d)
            m_root = d;
    }
    ~TempTree()
    {
        std::error_code ec;
        if (!m_root.empty())
            std::filesystem::remove_all(m_root, ec);
    }
    const std::string& Root() const { return m_root; }
    std::string Path(const std::string& rel) const { return m_root + "/" + rel; }

    void Dir(const std::string& rel, mode_t mode = 0700) const
    {
        ASSERT_EQ(mkdir(Path(rel).c_str(), mode), 0) << rel;
        ASSERT_EQ(chmod(Path(rel).c_str(), mode), 0);  // past the umask
    }
    void File(const std::string& rel, const std::string& text) const
    {
        std::ofstream(Path(rel)) << text;
    }
    void Link(const std::string& target, const std::string& rel) const
    {
        ASSERT_EQ(symlink(target.c_str(), Path(rel).c_str()), 0) << rel;
    }
    // A /sys/class/tty entry; with a device link when `device`, with a
    // type file when `type` is given.
    void Tty(const std::string& name, bool device, std::optional<std::string> type = std::nullopt) const
    {
        Dir("sys/class/tty/" + name, 0755);
        if (device)
            Dir("sys/class/tty/" + name + "/device", 0755);
        if (type)
            File("sys/class/tty/" + name + "/type", *type + "\n");
    }

    // Makes the fake sysfs call the device at path a terminal.
    void MarkTerminal(const std::string& path) const
    {
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        const std::string node = std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
        std::filesystem::create_directories(Path("sys/dev/char/" + node));
        Link("../../../class/tty", "sys/dev/char/" + node + "/subsystem");
    }

private:
    std::string m_root;
};

std::vector<std::string> Names(const std::vector<PortInfo>& ports)
{
    std::vector<std::string> names;
    for (const PortInfo& p : ports)
        names.push_back(p.name);
    return names;
}

class PortListTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(tree.Root().empty());
        tree.Dir("ports");
        tree.Dir("sys", 0755);
        tree.Dir("sys/class", 0755);
        tree.Dir("sys/class/tty", 0755);
        ASSERT_TRUE(pty.Ok());
    }
    std::vector<PortInfo> List() const { return ListSerialPorts(tree.Path("ports"), tree.Path("sys")); }
    std::vector<PortInfo> List(const std::string& ports) const { return ListSerialPorts(ports, tree.Path("sys")); }

    TempTree tree;
    Pty pty{true};  // a terminal to publish
};

TEST_F(PortListTest, PublishedPortsFirstThenUsbThenOthersInNaturalOrder)
{
    tree.Link(pty.Path(), "ports/COM10");
    tree.Link(pty.Path(), "ports/COM3");
    tree.Link("../../.." + pty.Path(), "ports/COM4");  // relative to the directory
    tree.Link(tree.Path("gone"), "ports/COM5");        // dangling
    tree.File("ports/COM6", "");                       // not a link
    tree.File("plain", "");
    tree.Link(tree.Path("plain"), "ports/COM7");       // not a device
    tree.Link(pty.Path(), "ports/.COM8");              // hidden
    tree.Link("/dev/null", "ports/COM9");              // a device, but no terminal
    tree.Link("/dev/tty", "ports/COM11");              // whatever terminal opens it

    tree.Tty("ttyS10", true);
    tree.Tty("ttyS1", true, "0");  // no UART behind it
    tree.Tty("ttyS0", true, "4");
    tree.Tty("ttyUSB10", true);
    tree.Tty("ttyAMA0", true);
    tree.Tty("ttyACM0", true);
    tree.Tty("ttyUSB2", true);
    tree.Tty("tty0", false);
    tree.Tty("console", false);
    tree.Tty("ptmx", false);

    const std::vector<PortInfo> ports = List();
    const std::vector<std::string> expected = {"COM3",   "COM4",    "COM10",   "ttyUSB2",
                                               "ttyUSB10", "ttyACM0", "ttyAMA0", "ttyS0", "ttyS10"};
    ASSERT_EQ(Names(ports), expected);
    EXPECT_EQ(ports[0].path, pty.Path());
    EXPECT_EQ(ports[1].path, tree.Path("ports/../../.." + pty.Path()));
    EXPECT_EQ(ports[3].path, "/dev/ttyUSB2");
    EXPECT_EQ(ports[8].path, "/dev/ttyS10");
}

TEST_F(PortListTest, PublishedDeviceIsNotListedTwice)
{
    tree.MarkTerminal("/dev/null");  // in this sysfs a terminal
    tree.Link("/dev/null", "ports/COM1");
    tree.Tty("null", true);  // the same node as a machine port
    tree.Tty("ttyUSB0", true);
    EXPECT_EQ(Names(List()), (std::vector<std::string>{"COM1", "ttyUSB0"}));
}

TEST_F(PortListTest, LinkOfAPublisherThatIsGoneIsSkipped)
{
    tree.Link(pty.Path(), "ports/COM1");
    tree.Link(pty.Path(), "ports/COM2");
    tree.Link(pty.Path(), "ports/COM3");
    tree.File("ports/.COM1.lock", "");  // left behind by a killed publisher
    tree.File("ports/.COM2.lock", "");
    const int held = open(tree.Path("ports/.COM2.lock").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    // COM2's publisher runs; COM3 was published by hand, without a lock.
    EXPECT_EQ(Names(List()), (std::vector<std::string>{"COM2", "COM3"}));
    close(held);
    EXPECT_EQ(Names(List()), (std::vector<std::string>{"COM3"}));
}

TEST_F(PortListTest, TerminalsAreToldWithoutOpeningThem)
{
    EXPECT_TRUE(IsTerminalDevice(pty.Path()));
    EXPECT_FALSE(IsTerminalDevice("/dev/null"));
    EXPECT_FALSE(IsTerminalDevice("/dev/tty"));   // the caller's own terminal
    EXPECT_FALSE(IsTerminalDevice("/dev/ptmx"));  // makes a new one
    EXPECT_FALSE(IsTerminalDevice(tree.Path("ports")));
    EXPECT_FALSE(IsTerminalDevice(tree.Path("none")));
    EXPECT_FALSE(IsTerminalDevice("/dev/null", tree.Path("sys")));
    tree.MarkTerminal("/dev/null");
    EXPECT_TRUE(IsTerminalDevice("/dev/null", tree.Path("sys")));
}

// The port directory and its parent must be real directories of this
// user that nobody else may write to; otherwise nothing is listed from
// them and nothing is published in them.
TEST_F(PortListTest, DirectoryOthersCouldChangeIsNeitherListedNorUsed)
{
    struct Case {
        const char* what;
        const char* dir;  // relative to the tree; its parent is the tree's root or "parent"
        mode_t mode;      // of dir
        mode_t parentMode;
        bool linkedDir;     // dir is a symbolic link to a good directory
        bool linkedParent;  // the parent is
        bool usable;
    };
    const Case cases[] = {
        {"closed", "a/ports", 0700, 0700, false, false, true},
        {"group may read", "b/ports", 0750, 0755, false, false, true},
        {"group may write", "c/ports", 0770, 0700, false, false, false},
        {"others may write", "d/ports", 0777, 0700, false, false, false},
        {"parent group-writable", "e/ports", 0700, 0770, false, false, false},
        {"parent sticky like /tmp", "f/ports", 0700, 01777, false, false, false},
        {"directory a link", "g/ports", 0700, 0700, true, false, false},
        {"parent a link", "h/ports", 0700, 0700, false, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string dir = c.dir;
        const std::string parent = dir.substr(0, dir.find('/'));
        if (c.linkedParent) {
            tree.Dir(parent + "-real", c.parentMode);
            tree.Link(tree.Path(parent + "-real"), parent);
        } else {
            tree.Dir(parent, c.parentMode);
        }
        if (c.linkedDir) {
            tree.Dir(dir + "-real", c.mode);
            tree.Link(tree.Path(dir + "-real"), dir);
        } else {
            tree.Dir(dir, c.mode);
        }
        tree.Link(pty.Path(), dir + "/COM1");
        EXPECT_EQ(Names(List(tree.Path(dir))), c.usable ? std::vector<std::string>{"COM1"}
                                                         : std::vector<std::string>{});
        std::string error;
        CPortPublisher publisher;
        EXPECT_EQ(publisher.Publish("COM2", pty.Path(), tree.Path(dir), error), c.usable) << error;
        EXPECT_EQ(access(tree.Path(dir + "/COM2").c_str(), F_OK) == 0, c.usable);
        EXPECT_EQ(access(tree.Path(dir + "/.COM2.lock").c_str(), F_OK) == 0, c.usable);
    }

    // Nothing there at all: an empty list, no error.
    EXPECT_TRUE(ListSerialPorts(tree.Path("none"), tree.Path("none")).empty());
}

TEST_F(PortListTest, PublisherMakesTheDirectoryAndRemovesWhatItMade)
{
    const std::string ports = tree.Path("new/ports");
    {
        CPortPublisher publisher;
        std::string error;
        ASSERT_TRUE(publisher.Publish("COM3", pty.Path(), ports, error)) << error;
        EXPECT_EQ(publisher.LinkPath(), ports + "/COM3");
        for (const std::string& d : {tree.Path("new"), ports}) {
            struct stat st {};
            ASSERT_EQ(lstat(d.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, 0700u) << d;
        }
        EXPECT_EQ(Names(List(ports)), std::vector<std::string>{"COM3"});

        // The name is owned: a second publisher is refused, the link stays.
        CPortPublisher second;
        EXPECT_FALSE(second.Publish("COM3", pty.Path(), ports, error));
        EXPECT_EQ(error, "COM3 is published by another running program");
        EXPECT_EQ(Names(List(ports)), std::vector<std::string>{"COM3"});
        for (const char* bad : {"", ".COM3", "a/b"})
            EXPECT_FALSE(second.Publish(bad, pty.Path(), ports, error)) << bad;
    }
    // Gone with the publisher: link and lock file.
    EXPECT_TRUE(std::filesystem::is_empty(ports));

    // A link left by a publisher that was killed (its lock file stands,
    // held by nobody) is replaced; one made by hand (no lock file) is not,
    // nor a file.
    tree.Link("/dev/null", "new/ports/COM4");
    tree.File("new/ports/.COM4.lock", "");
    tree.Link("/dev/null", "new/ports/COM5");
    tree.File("new/ports/COM6", "");
    CPortPublisher publisher;
    std::string error;
    ASSERT_TRUE(publisher.Publish("COM4", pty.Path(), ports, error)) << error;
    EXPECT_EQ(std::filesystem::read_symlink(ports + "/COM4"), pty.Path());
    CPortPublisher handMade, file;
    EXPECT_FALSE(handMade.Publish("COM5", pty.Path(), ports, error));
    EXPECT_FALSE(file.Publish("COM6", pty.Path(), ports, error));
    EXPECT_EQ(std::filesystem::read_symlink(ports + "/COM5"), "/dev/null");
    EXPECT_FALSE(std::filesystem::exists(ports + "/.COM5.lock"));
}

TEST_F(PortListTest, PublisherFollowsNoPlantedLink)
{
    // A lock file planted as a link to a file elsewhere: neither made nor opened.
    tree.Link(tree.Path("victim"), "ports/.COM3.lock");
    CPortPublisher publisher;
    std::string error;
    EXPECT_FALSE(publisher.Publish("COM3", pty.Path(), tree.Path("ports"), error));
    EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
    EXPECT_FALSE(std::filesystem::exists(tree.Path("victim")));
    EXPECT_FALSE(std::filesystem::exists(tree.Path("ports/COM3")));
}

// Publishers racing for one name, the owner giving it up at once: at no
// time do two believe they own it (a lock file removed by its owner while
// another publisher waits on it must not make that one an owner too).
TEST_F(PortListTest, OnePublisherOwnsANameAtATime)
{
    std::atomic<int> owners{0}, most{0}, wins{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 40; ++i) {
                CPortPublisher publisher;
                std::string error;
                if (!publisher.Publish("COM1", pty.Path(), tree.Path("ports"), error))
                    continue;
                const int now = ++owners;
                int seen = most.load();
                while (now > seen && !most.compare_exchange_weak(seen, now)) {
                }
                ++wins;
                std::this_thread::yield();
                --owners;
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(most.load(), 1);
    EXPECT_GT(wins.load(), 0);
    EXPECT_TRUE(std::filesystem::is_empty(tree.Path("ports")));
}

class EnvVar {
public:
    explicit EnvVar(const char* name) : m_name(name)
    {
        if (const char* v = std::getenv(name))
            m_old = v;
    }
    ~EnvVar()
    {
        if (m_old)
            setenv(m_name, m_old->c_str(), 1);
        else
            unsetenv(m_name);
    }

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

TEST_F(PortListTest, PortDirectoryFollowsTheRuntimeDirectory)
{
    EnvVar keep("XDG_RUNTIME_DIR");
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(PortDirectory(), "/tmp/cvf-update-" + std::to_string(getuid()) + "/ports");
    setenv("XDG_RUNTIME_DIR", "relative/dir", 1);  // not absolute: ignored
    EXPECT_EQ(PortDirectory(), "/tmp/cvf-update-" + std::to_string(getuid()) + "/ports");

    setenv("XDG_RUNTIME_DIR", tree.Root().c_str(), 1);
    EXPECT_EQ(PortDirectory(), tree.Path("cvf-update/ports"));
    EXPECT_EQ(MakePortDirectory(), tree.Path("cvf-update/ports"));
    EXPECT_EQ(MakePortDirectory(), tree.Path("cvf-update/ports"));  // existing is fine
    struct stat st {};
    ASSERT_EQ(stat(tree.Path("cvf-update/ports").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    tree.Link(pty.Path(), "cvf-update/ports/COM3");
    const std::vector<PortInfo> ports = ListSerialPorts();
    ASSERT_FALSE(ports.empty());
    EXPECT_EQ(ports[0].name, "COM3");
    EXPECT_EQ(ports[0].path, pty.Path());
}

TEST(NaturalOrder, NumbersCompareByValue)
{
    EXPECT_TRUE(NaturalLess("COM2", "COM10"));
    EXPECT_FALSE(NaturalLess("COM10", "COM2"));
    EXPECT_TRUE(NaturalLess("COM", "COM0"));
    EXPECT_TRUE(NaturalLess("COM9", "COMa"));
    EXPECT_TRUE(NaturalLess("COM01", "COM1"));  // same value: plain order decides
    EXPECT_FALSE(NaturalLess("COM1", "COM01"));
    EXPECT_FALSE(NaturalLess("COM3", "COM3"));
    EXPECT_TRUE(NaturalLess("a2b10", "a2b9x") == false);
    EXPECT_TRUE(NaturalLess("a2b9x", "a2b10"));
}

}  // namespace
