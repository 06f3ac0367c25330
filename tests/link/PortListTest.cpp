// The port list over a fake port directory and sysfs tree in a temp dir.

#include "link/PortList.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
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
    }
    std::vector<PortInfo> List() const { return ListSerialPorts(tree.Path("ports"), tree.Path("sys")); }

    TempTree tree;
};

TEST_F(PortListTest, PublishedPortsFirstThenUsbThenOthersInNaturalOrder)
{
    tree.Link("/dev/null", "ports/COM10");
    tree.Link("/dev/null", "ports/COM3");
    tree.Link("../../../dev/null", "ports/COM4");  // relative to the directory
    tree.Link(tree.Path("gone"), "ports/COM5");    // dangling
    tree.File("ports/COM6", "");                   // not a link
    tree.File("plain", "");
    tree.Link(tree.Path("plain"), "ports/COM7");   // not a device
    tree.Link("/dev/null", "ports/.COM8");         // hidden

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
    EXPECT_EQ(ports[0].path, "/dev/null");
    EXPECT_EQ(ports[1].path, tree.Path("ports/../../../dev/null"));
    EXPECT_EQ(ports[3].path, "/dev/ttyUSB2");
    EXPECT_EQ(ports[8].path, "/dev/ttyS10");
}

TEST_F(PortListTest, PublishedDeviceIsNotListedTwice)
{
    tree.Link("/dev/null", "ports/COM1");
    tree.Tty("null", true);  // the same node as a machine port
    tree.Tty("ttyUSB0", true);
    EXPECT_EQ(Names(List()), (std::vector<std::string>{"COM1", "ttyUSB0"}));
}

TEST_F(PortListTest, LinkOfAPublisherThatIsGoneIsSkipped)
{
    tree.Link("/dev/null", "ports/COM1");
    tree.Link("/dev/null", "ports/COM2");
    tree.Link("/dev/null", "ports/COM3");
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

TEST_F(PortListTest, DirectoryOthersCanWriteIsIgnored)
{
    tree.Link("/dev/null", "ports/COM1");
    tree.Tty("ttyUSB0", true);
    ASSERT_EQ(chmod(tree.Path("ports").c_str(), 0777), 0);
    EXPECT_EQ(Names(List()), std::vector<std::string>{"ttyUSB0"});
    ASSERT_EQ(chmod(tree.Path("ports").c_str(), 0700), 0);
    ASSERT_EQ(chmod(tree.Root().c_str(), 0777), 0);  // the parent as well
    EXPECT_EQ(Names(List()), std::vector<std::string>{"ttyUSB0"});
    ASSERT_EQ(chmod(tree.Root().c_str(), 01777), 0);  // unless sticky, like /tmp
    EXPECT_EQ(Names(List()), (std::vector<std::string>{"COM1", "ttyUSB0"}));
    ASSERT_EQ(chmod(tree.Root().c_str(), 0700), 0);
    EXPECT_EQ(Names(List()), (std::vector<std::string>{"COM1", "ttyUSB0"}));

    // Nothing there at all: an empty list, no error.
    EXPECT_TRUE(ListSerialPorts(tree.Path("none"), tree.Path("none")).empty());
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

    tree.Link("/dev/null", "cvf-update/ports/COM3");
    const std::vector<PortInfo> ports = ListSerialPorts();
    ASSERT_FALSE(ports.empty());
    EXPECT_EQ(ports[0].name, "COM3");
    EXPECT_EQ(ports[0].path, "/dev/null");
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
