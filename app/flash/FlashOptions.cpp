#include "app/flash/FlashOptions.h"

#include "app/flash/FlashOutput.h"
#include "app/flash/FlashReport.h"
#include "app/workflow/StringIds.h"
#include "app/workflow/StringTable.h"

#include <CLI/CLI.hpp>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>

#ifndef CVF_VERSION
#define CVF_VERSION "0"
#endif

namespace {

// Help texts broken into lines of at most width characters at blanks;
// the help indents the lines after the first.
std::string Wrap(const std::string& text, size_t width)
{
    std::string out;
    size_t lineStart = 0;
    size_t i = 0;
    while (i < text.size()) {
        size_t wordEnd = text.find(' ', i);
        if (wordEnd == std::string::npos)
            wordEnd = text.size();
        const std::string word = text.substr(i, wordEnd - i);
        if (out.size() > lineStart && out.size() - lineStart + 1 + word.size() > width) {
            out += '\n';
            lineStart = out.size();
        } else if (out.size() > lineStart) {
            out += ' ';
        }
        out += word;
        i = wordEnd + 1;
    }
    return out;
}

constexpr size_t kHelpWidth = 79;
constexpr size_t kColumn = 24;

std::string Describe(int id)
{
    return Wrap(Text(id), kHelpWidth - kColumn);
}

void UsageError(bool json, const std::string& message)
{
    CFlashOutput output;
    const std::unique_ptr<CFlashReport> report = MakeFlashReport(json, false, output);
    report->Error(EXIT_USAGE, FormatText(Text(IDS_FLASH_USAGE_ERROR), {message}));
}

}  // namespace

int ParseFlashOptions(int argc, char** argv, FlashOptions& options)
{
    bool json = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0)
            json = true;
    }

    CLI::App app(Wrap(Text(IDS_FLASH_ABOUT), kHelpWidth), "cvf-flash");
    auto formatter = std::make_shared<CLI::Formatter>();
    formatter->label("Usage", Text(IDS_FLASH_LABEL_USAGE));
    formatter->label("Positionals", Text(IDS_FLASH_LABEL_ARGUMENTS));
    std::string optionsLabel = Text(IDS_FLASH_GROUP_OPTIONS);
    for (char& c : optionsLabel)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    formatter->label("OPTIONS", optionsLabel);
    formatter->column_width(kColumn);
    app.formatter(formatter);
    app.option_defaults()->group(Text(IDS_FLASH_GROUP_OPTIONS));
    app.set_help_flag("-h,--help", Describe(IDS_FLASH_OPT_HELP));
    app.set_version_flag("--version", std::string("cvf-flash ") + CVF_VERSION, Describe(IDS_FLASH_OPT_VERSION));
    app.footer(Wrap(Text(IDS_FLASH_EXIT_STATUS), kHelpWidth));

    app.add_option("FILE", options.file, Describe(IDS_FLASH_OPT_FILE))->type_name("");
    app.add_option("-p,--port", options.ports, Describe(IDS_FLASH_OPT_PORT))->type_name("NAME")->allow_extra_args(false);
    app.add_flag("-a,--all", options.all, Describe(IDS_FLASH_OPT_ALL));
    app.add_flag("-y,--yes", options.yes, Describe(IDS_FLASH_OPT_YES));
    app.add_flag("-n,--dry-run", options.dryRun, Describe(IDS_FLASH_OPT_DRY_RUN));
    app.add_flag("-w,--watch", options.watch, Describe(IDS_FLASH_OPT_WATCH));
    app.add_flag("--json", options.json, Describe(IDS_FLASH_OPT_JSON));
    app.add_flag("--list", options.list, Describe(IDS_FLASH_OPT_LIST));
    app.add_flag("-q,--quiet", options.quiet, Describe(IDS_FLASH_OPT_QUIET));
    // An empty name would keep no record without a word: refused.
    app.add_option("--record", options.record, Describe(IDS_FLASH_OPT_RECORD))
        ->type_name("FILE")
        ->check([](const std::string& path) { return path.empty() ? Text(IDS_FLASH_RECORD_EMPTY) : std::string(); });
    app.add_option("--expect", options.expect, Describe(IDS_FLASH_OPT_EXPECT))
        ->type_name("N")
        ->check(CLI::Range(0, 1000000));
    app.add_option("--retry", options.retry, Describe(IDS_FLASH_OPT_RETRY))->type_name("N")->check(CLI::Range(0, 100));
    app.add_option("--jobs", options.jobs, Describe(IDS_FLASH_OPT_JOBS))->type_name("N")->check(CLI::Range(1, 100000));
    std::vector<std::string> matches;
    app.add_option("--match", matches, Describe(IDS_FLASH_OPT_MATCH))
        ->type_name("VID:PID[:SERIAL]")
        ->allow_extra_args(false)
        ->check([](const std::string& text) {
            UsbMatch match;
            return ParseUsbMatch(text, match) ? std::string() : FormatText(IDS_FLASH_BAD_MATCH, text);
        });
    app.add_flag("--any-port", options.anyPort, Describe(IDS_FLASH_OPT_ANY_PORT));
    app.add_option("--sysfs", options.sysfsRoot, Describe(IDS_FLASH_OPT_SYSFS))
        ->type_name("DIR")
        ->group(Text(IDS_FLASH_GROUP_TESTING));
    app.add_option("--silence-limit", options.silenceLimitMs, Describe(IDS_FLASH_OPT_SILENCE_LIMIT))
        ->type_name("MS")
        ->check(CLI::Range(1, 24 * 3600 * 1000))
        ->group(Text(IDS_FLASH_GROUP_TESTING));
    app.add_option("--wind-down-limit", options.windDownLimitMs, Describe(IDS_FLASH_OPT_WIND_DOWN_LIMIT))
        ->type_name("MS")
        ->check(CLI::Range(1, 24 * 3600 * 1000))
        ->group(Text(IDS_FLASH_GROUP_TESTING));

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::fputs(app.help().c_str(), stdout);
        return 0;
    } catch (const CLI::CallForVersion& e) {
        std::printf("%s\n", e.what());
        return 0;
    } catch (const CLI::ParseError& e) {
        UsageError(json, e.what());
        return EXIT_USAGE;
    }

    for (const std::string& text : matches) {
        UsbMatch match;
        ParseUsbMatch(text, match);
        options.match.push_back(match);
    }
    if (options.list && !options.file.empty()) {
        UsageError(options.json, Text(IDS_FLASH_LIST_ALONE));
        return EXIT_USAGE;
    }
    if (!options.list && options.file.empty()) {
        UsageError(options.json, Text(IDS_FLASH_NEED_FILE));
        return EXIT_USAGE;
    }
    return -1;
}
