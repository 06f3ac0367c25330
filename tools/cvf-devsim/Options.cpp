#include "Options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <getopt.h>

const char* const kHelpText =
    "Usage: cvf-devsim --name NAME [options]\n"
    "       cvf-devsim --name NAME --publish DEVICE [--port-dir DIR] [--log FILE]\n"
    "\n"
    "Simulates a device in update mode on a pseudo-terminal. The terminal is\n"
    "published as the symbolic link NAME in the port directory; once the\n"
    "device answers, one line 'ready NAME DEVICE-PATH' goes to standard output.\n"
    "SIGINT, SIGTERM and SIGHUP end it and remove the link.\n"
    "\n"
    "With --publish it simulates nothing: it publishes the terminal device\n"
    "DEVICE (a real serial port, e.g. /dev/ttyUSB0) as NAME, prints the same\n"
    "'ready' line and holds the name until one of those signals comes.\n"
    "\n"
    "Device:\n"
    "  --name NAME           port name to publish, e.g. COM3 (required)\n"
    "  --index TEXT          index text answered to PSD (default CVF-DEMO-0001, as in cvf-make's sample)\n"
    "  --version TEXT        version text answered to EAE (default SIM-1.00SIM-1.00)\n"
    "                        TEXT of --index and --version may hold \\xHH, \\t, \\\\\n"
    "  --asp-cf              answer ASP with 0xCF instead of \"0\"\n"
    "  --no-update-mode      leave ASP unanswered (device not in update mode)\n"
    "  --port-dir DIR        publish in DIR instead of the per-user port directory\n"
    "  --publish DEVICE      publish DEVICE as NAME instead of a simulated device\n"
    "\n"
    "Timing:\n"
    "  --line-time MS        time the device takes per firmware line (default 0)\n"
    "  --no-pacing           reply at once instead of at the pace of 57600 baud\n"
    "\n"
    "Records:\n"
    "  --log FILE            log every received and sent frame with a timestamp\n"
    "  --image-out FILE      write the flash image assembled from the data lines\n"
    "                        (lines 'AAAA HHHH...': address, then up to 16 bytes)\n"
    "  --report-settings FILE|-\n"
    "                        write the line settings the client left on the port\n"
    "                        each time they change ('-': standard output)\n"
    "\n"
    "Faults (repeatable): --fault KIND:WHERE[:COUNT]\n"
    "  WHERE  a firmware line number (1 = first line of the transfer), a command\n"
    "         word ASP, PSD, EAE, RST or DPZ, or 'any' for every frame\n"
    "  COUNT  how many times the fault fires (default 1; 'always' or 0: every time)\n"
    "  KIND   silence     no reply\n"
    "         badsum      reply with a wrong checksum\n"
    "         reject      reply \"0\" (line not taken)\n"
    "         flash       reply \"2\" (flash error)\n"
    "         cf          reply 0xCF (update complete)\n"
    "         bytewise    reply one byte at a time\n"
    "         garbage     the bytes '#GARBAGE#' before the reply\n"
    "         eot         a stray EOT before the reply\n"
    "         trailing    a complete frame DEV|2| after the reply's EOT\n"
    "         stream      endless bytes without EOT until the next frame arrives\n"
    "         hangup      close the pseudo-terminal and exit\n"
    "         wrongindex  answer PSD with the index and '#' appended\n"
    "         noversion   answer EAE with an empty field\n"
    "         ffversion   answer EAE with the version and a 0xFF byte appended\n"
    "\n"
    "  --help                this text\n";

namespace {

int HexNibble(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string DecodeEscapes(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            const char next = text[i + 1];
            if (next == '\\') {
                out += '\\';
                ++i;
                continue;
            }
            if (next == 't') {
                out += '\t';
                ++i;
                continue;
            }
            if (next == 'x' && i + 3 < text.size() && HexNibble(text[i + 2]) >= 0 &&
                HexNibble(text[i + 3]) >= 0) {
                out += static_cast<char>(HexNibble(text[i + 2]) * 16 + HexNibble(text[i + 3]));
                i += 3;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

int ParseOptions(int argc, char** argv, SimOptions& options, std::string& error)
{
    enum {
        OptName = 1000, OptIndex, OptVersion, OptAspCf, OptNoUpdate, OptPortDir, OptLineTime,
        OptNoPacing, OptLog, OptImage, OptSettings, OptFault, OptPublish, OptHelp
    };
    static const option longOptions[] = {
        {"name", required_argument, nullptr, OptName},
        {"index", required_argument, nullptr, OptIndex},
        {"version", required_argument, nullptr, OptVersion},
        {"asp-cf", no_argument, nullptr, OptAspCf},
        {"no-update-mode", no_argument, nullptr, OptNoUpdate},
        {"port-dir", required_argument, nullptr, OptPortDir},
        {"line-time", required_argument, nullptr, OptLineTime},
        {"no-pacing", no_argument, nullptr, OptNoPacing},
        {"log", required_argument, nullptr, OptLog},
        {"image-out", required_argument, nullptr, OptImage},
        {"report-settings", required_argument, nullptr, OptSettings},
        {"fault", required_argument, nullptr, OptFault},
        {"publish", required_argument, nullptr, OptPublish},
        {"help", no_argument, nullptr, OptHelp},
        {nullptr, 0, nullptr, 0},
    };

    opterr = 0;
    optind = 1;
    std::string deviceOption;  // the first option that only a simulated device takes
    for (;;) {
        int longIndex = -1;
        const int c = getopt_long(argc, argv, "", longOptions, &longIndex);
        if (c == -1)
            break;
        if (deviceOption.empty() && longIndex >= 0 && c != OptName && c != OptPortDir && c != OptLog &&
            c != OptPublish && c != OptHelp)
            deviceOption = std::string("--") + longOptions[longIndex].name;
        switch (c) {
        case OptName:
            options.name = optarg;
            break;
        case OptIndex:
            options.index = DecodeEscapes(optarg);
            break;
        case OptVersion:
            options.version = DecodeEscapes(optarg);
            break;
        case OptAspCf:
            options.aspComplete = true;
            break;
        case OptNoUpdate:
            options.updateMode = false;
            break;
        case OptPortDir:
            options.portDir = optarg;
            break;
        case OptLineTime: {
            char* end = nullptr;
            const double ms = std::strtod(optarg, &end);
            if (end == optarg || *end != '\0' || !(ms >= 0.0) || ms > 600000.0) {
                error = "--line-time needs milliseconds from 0 to 600000";
                return 2;
            }
            options.lineTimeMs = ms;
            break;
        }
        case OptNoPacing:
            options.pacing = false;
            break;
        case OptLog:
            options.logFile = optarg;
            break;
        case OptImage:
            options.imageFile = optarg;
            break;
        case OptSettings:
            options.settingsFile = optarg;
            break;
        case OptFault: {
            Fault fault;
            if (!ParseFault(optarg, fault, error))
                return 2;
            options.faults.push_back(fault);
            break;
        }
        case OptPublish:
            options.publishPath = optarg;
            if (options.publishPath.empty()) {
                error = "--publish needs a device path";
                return 2;
            }
            break;
        case OptHelp:
            std::fputs(kHelpText, stdout);
            return 1;
        default:
            error = std::string("unknown or incomplete option '") + argv[optind - 1] + "'";
            return 2;
        }
    }
    if (optind < argc) {
        error = std::string("unexpected argument '") + argv[optind] + "'";
        return 2;
    }
    if (options.name.empty()) {
        error = "--name is required";
        return 2;
    }
    if (options.name.find('/') != std::string::npos || options.name[0] == '.') {
        error = "--name must be a plain file name that does not start with a dot";
        return 2;
    }
    if (!options.publishPath.empty() && !deviceOption.empty()) {
        error = "'" + deviceOption + "' describes a simulated device; --publish takes only --name, --port-dir and --log";
        return 2;
    }
    return 0;
}
