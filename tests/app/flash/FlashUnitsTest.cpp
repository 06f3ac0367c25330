// The pieces of cvf-flash's run that decide, each without a terminal or a
// device: which ports, how the run ends, when the question is asked, and
// what the live rows cost on the screen.

#include "app/flash/FlashEnd.h"
#include "app/flash/FlashPorts.h"
#include "app/flash/FlashQuestion.h"
#include "app/flash/FlashReport.h"
#include "app/flash/LiveScreen.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

UsbInfo Usb(const char* vendor, const char* product, const char* serial = "")
{
    return {vendor, product, serial, "adapter"};
}

TEST(FlashPorts, UsbIdentitiesMatchByNumberAndSerialExactly)
{
    UsbMatch match;
    ASSERT_TRUE(ParseUsbMatch("0403:6001", match));
    EXPECT_TRUE(Matches(match, Usb("0403", "6001", "A10K")));
    ASSERT_TRUE(ParseUsbMatch("403:60aB", match));
    EXPECT_TRUE(Matches(match, Usb("0403", "60ab")));
    EXPECT_FALSE(Matches(match, Usb("0403", "60ac")));
    ASSERT_TRUE(ParseUsbMatch("0403:6001:A10K", match));
    EXPECT_TRUE(Matches(match, Usb("0403", "6001", "A10K")));
    EXPECT_FALSE(Matches(match, Usb("0403", "6001", "a10k")));
    EXPECT_FALSE(Matches(match, Usb("0403", "6001")));
    for (const char* bad : {"", "0403", "0403:", ":6001", "04030:6001", "0g03:6001", "0403:6001:", "0403 :6001"})
        EXPECT_FALSE(ParseUsbMatch(bad, match)) << bad;
}

TEST(FlashPorts, PlansOfEachModeWithTheMachineAsTheTestSaysItIs)
{
    // COM3 published, ttyUSB0 an adapter, ttyS0 a UART of the board, ttyUSB1
    // busy, ttyUSB2 not ours to open.
    const std::vector<PortInfo> listed = {{"COM3", "/dev/pts/3", true}, {"ttyUSB0", "/dev/ttyUSB0"},
                                          {"ttyS0", "/dev/ttyS0"},       {"ttyUSB1", "/dev/ttyUSB1"},
                                          {"ttyUSB2", "/dev/ttyUSB2"}};
    const std::map<std::string, PortState> states = {{"/dev/ttyUSB1", PortState::Busy},
                                                     {"/dev/ttyUSB2", PortState::NoPermission}};
    PortFacts facts;
    facts.list = [&] { return listed; };
    facts.probe = [&](const std::string& path) {
        const auto it = states.find(path);
        return it == states.end() ? PortState::Free : it->second;
    };
    facts.usb = [](const std::string& path) -> std::optional<UsbInfo> {
        if (path == "/dev/ttyUSB0")
            return Usb("0403", "6001", "A10K");
        if (path == "/dev/ttyUSB1" || path == "/dev/ttyUSB2")
            return Usb("067b", "2303");
        return std::nullopt;
    };
    const auto names = [](const PlannedSearch& search) {
        std::string text;
        for (const PortInfo& port : search.ports)
            text += (text.empty() ? "" : " ") + port.name;
        return text;
    };

    // The window's way: one search over the first free ones, the UART included.
    PortPlan plan = PlanPorts({}, false, {}, facts);
    ASSERT_EQ(plan.searches.size(), 1u);
    EXPECT_EQ(names(plan.searches[0]), "COM3 ttyUSB0 ttyS0");
    EXPECT_EQ(plan.deniedPort, "ttyUSB2");

    // -a: one device each, adapters and published ports only; silent ones
    // do not count.
    plan = PlanPorts({}, true, {.wideListing = true}, facts);
    ASSERT_EQ(plan.searches.size(), 2u);
    EXPECT_EQ(names(plan.searches[0]), "COM3");
    EXPECT_EQ(names(plan.searches[1]), "ttyUSB0");
    EXPECT_FALSE(plan.searches[0].noDeviceCounts);
    plan = PlanPorts({}, true, {.wideListing = true, .anyPort = true}, facts);
    EXPECT_EQ(plan.searches.size(), 3u) << "--any-port takes the UART too";

    // --match: only the adapter with that identity, in any mode.
    UsbMatch match;
    ParseUsbMatch("403:6001", match);
    plan = PlanPorts({}, false, {.match = {match}}, facts);
    ASSERT_EQ(plan.searches.size(), 1u);
    EXPECT_EQ(names(plan.searches[0]), "ttyUSB0");
    ParseUsbMatch("1234:5678", match);
    EXPECT_TRUE(PlanPorts({}, true, {.match = {match}, .wideListing = true}, facts).searches.empty());

    // -p: always used, in the order given, named twice searched once; a
    // refused one is told, and with -a keeps its place.
    plan = PlanPorts({"ttyS0", "ttyUSB1", "COM3", "COM3"}, false, {.match = {match}}, facts);
    ASSERT_EQ(plan.searches.size(), 1u);
    EXPECT_EQ(names(plan.searches[0]), "ttyS0 COM3");
    ASSERT_EQ(plan.refused.size(), 1u);
    EXPECT_EQ(plan.refused[0].refusedName, "ttyUSB1");
    EXPECT_EQ(plan.refused[0].refusedState, PortState::Busy);
    plan = PlanPorts({"ttyUSB1", "COM3", "nonesuch"}, true, {}, facts);
    ASSERT_EQ(plan.searches.size(), 3u);
    EXPECT_TRUE(plan.searches[0].Refused());
    EXPECT_EQ(names(plan.searches[1]), "COM3");
    EXPECT_TRUE(plan.searches[1].noDeviceCounts);
    EXPECT_EQ(plan.searches[2].refusedState, PortState::Missing);
}

TEST(FlashEnd, TheExitStatusOfEveryRun)
{
    const DeviceEnd done{.outcome = Outcome::Done};
    const DeviceEnd silent{.outcome = Outcome::NoDevice, .noDeviceCounts = false};
    const DeviceEnd flash{.outcome = Outcome::FlashError};
    const DeviceEnd incomplete{.outcome = Outcome::Interrupted};
    const DeviceEnd refused{.refused = true};
    struct Row {
        const char* what;
        RunEnd end;
        int status;
    };
    const std::vector<Row> rows = {
        {"all done", {.devices = {done, done}}, 0},
        {"the first failure in port order", {.devices = {done, incomplete, flash}}, 6},
        {"a refused port keeps its place", {.devices = {refused, flash}}, 3},
        {"a silent listed port does not count", {.devices = {silent, done}}, 0},
        {"not one device on the listed ports", {.devices = {silent, silent}}, 4},
        {"in watch mode silent ports never count", {.devices = {silent}, .watch = true}, 0},
        {"a signal", {.devices = {done}, .signalled = true}, 130},
        {"a signal ends watch mode as it should", {.devices = {done}, .signalled = true, .watch = true}, 0},
        {"fewer than expected", {.devices = {done, silent}, .expect = 2}, 9},
        {"as many as expected", {.devices = {done, done}, .expect = 2}, 0},
        {"a failure before the count", {.devices = {done, flash}, .expect = 3}, 8},
        {"a signal before the count", {.devices = {done}, .signalled = true, .expect = 3}, 130},
        {"watch mode counts at its end", {.devices = {done}, .signalled = true, .watch = true, .expect = 2}, 9},
        {"a dry run counts the compatible ones",
         {.devices = {{.outcome = Outcome::Compatible}}, .dryRun = true, .expect = 1}, 0},
    };
    for (const Row& row : rows)
        EXPECT_EQ(ExitStatus(row.end), row.status) << row.what;

    const std::map<std::string, int> counts = OutcomeCounts({done, done, silent, flash, refused});
    EXPECT_EQ(counts.at("done"), 2);
    EXPECT_EQ(counts.at("no_device"), 1);
    EXPECT_EQ(counts.at("flash_error"), 1);
    EXPECT_EQ(counts.at("no_port"), 1);
    EXPECT_EQ(counts.at("incompatible"), 0);
    EXPECT_FALSE(Failed(silent));
    EXPECT_TRUE(Failed({.outcome = Outcome::NoDevice}));
    EXPECT_FALSE(Failed({.outcome = Outcome::Declined}));
}

TEST(FlashQuestion, WhoIsAskedAndWhen)
{
    for (const char* yes : {"y", "Y", "yes", " Ja ", "j\r"})
        EXPECT_TRUE(IsYes(yes)) << yes;
    for (const char* no : {"", "n", "no", "yess", "y y", "nein"})
        EXPECT_FALSE(IsYes(no)) << no;

    const std::deque<uint64_t> waiting = {4, 7};
    EXPECT_EQ(DevicesToAsk(waiting, false, true), std::vector<uint64_t>{}) << "not while a search runs";
    EXPECT_EQ(DevicesToAsk(waiting, false, false), (std::vector<uint64_t>{4, 7}));
    EXPECT_EQ(DevicesToAsk(waiting, true, true), std::vector<uint64_t>{4}) << "watch mode: one at a time";
    EXPECT_EQ(DevicesToAsk({}, true, false), std::vector<uint64_t>{});
    EXPECT_EQ(QuestionText("COM3"), "COM3: Would you like to execute the update now? [y/N] ");
}

TEST(FlashReport, NothingFromOutsideReachesTheTerminalAsAControlOrAnInvisibleFormat)
{
    // Letters and signs of any script pass; controls, C1 controls,
    // bidirectional overrides and isolates, zero-width characters, the
    // byte-order mark, separators, tags and broken UTF-8 do not.
    EXPECT_EQ(Printable("Gr\xC3\xBC\xC3\x9F" "e V2.4 \xE2\x82\xAC \xE4\xB8\xAD"), "Gr\xC3\xBC\xC3\x9F" "e V2.4 \xE2\x82\xAC \xE4\xB8\xAD");
    const std::vector<std::pair<const char*, const char*>> spoilt = {
        {"\x1b[2J", "?[2J"},
        {"a\xC2\x9B" "b", "a?b"},                    // CSI as a C1 control
        {"abc\xE2\x80\xAE" "fdp.exe", "abc?fdp.exe"},  // U+202E right-to-left override
        {"\xE2\x81\xA6" "x\xE2\x81\xA9", "?x?"},     // U+2066 ... U+2069 isolates
        {"\xEF\xBB\xBF" "V1", "?V1"},                 // U+FEFF
        {"a\xE2\x80\xA8" "b", "a?b"},                 // U+2028 line separator
        {"\xD8\x9C", "?"},                            // U+061C Arabic letter mark
        {"x\xE2\x80\x8B" "y", "x?y"},                 // U+200B zero width space
        {"\xF3\xA0\x80\x81", "?"},                    // U+E0001 language tag
        {"\xC2\xAD", "?"},                            // U+00AD soft hyphen
        {"\xFF\xC3", "??"},                           // bytes that are no UTF-8
        {"\xE0\x80\x80", "???"},                      // an overlong form
    };
    for (const auto& [in, out] : spoilt)
        EXPECT_EQ(Printable(in), out) << in;
}

TEST(LiveScreen, ManyRowsFitTheScreenAndARedrawWritesWhatChanged)
{
    std::vector<std::string> rows;
    for (int i = 0; i < 40; ++i)
        rows.push_back("COM" + std::to_string(i) + "  [##........]  10 %  " + std::string(100, 'x'));
    const std::vector<std::string> fitted = FitRows(rows, "40 running", {80, 24}, false);
    ASSERT_EQ(fitted.size(), 23u) << "one line for the cursor";
    EXPECT_EQ(fitted[0], "40 running");
    EXPECT_EQ(Columns(fitted[1]), 79u);
    EXPECT_EQ(FitRows(rows, "s", {80, 24}, true).size(), 22u) << "and one for the question";
    EXPECT_EQ(FitRows({"a", "b"}, "s", {80, 24}, false), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(FitColumns("Gr\xC3\xBC\xC3\x9F" "e", 3), "Gr\xC3\xBC");

    CLiveScreen screen;
    const std::vector<std::string> first = {"COM1  [#.........]  10 %", "COM2  [#.........]  12 %"};
    EXPECT_EQ(screen.Draw(first, {}), "COM1  [#.........]  10 %\x1b[K\nCOM2  [#.........]  12 %\x1b[K\n");
    EXPECT_EQ(screen.Update(first), "") << "nothing changed, nothing written";
    // Only the second row, from its first changed character on.
    EXPECT_EQ(screen.Update({first[0], "COM2  [#.........]  13 %"}), "\x1b" "7\x1b[1A\r\x1b[21C3 %\x1b[K\x1b" "8");
    // A row less: the table drawn anew.
    EXPECT_EQ(screen.Update({first[0]}), "\x1b[2A\r\x1b[JCOM1  [#.........]  10 %\x1b[K\n");
    EXPECT_EQ(screen.Clear(), "\x1b[1A\r\x1b[J");
    EXPECT_EQ(screen.Clear(), "");
}

}  // namespace
