// cvf-make: writes firmware files for tests, demonstrations and benchmarks.

#include "FirmwareMaker.h"

#include "firmware/FirmwareFile.h"
#include "firmware/FirmwareLoader.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <getopt.h>
#include <iostream>
#include <iterator>
#include <string>

namespace {

const char kUsage[] =
    "Usage: cvf-make -o FILE [options]\n"
    "       cvf-make --describe FILE\n"
    "Writes a firmware file. With -o alone it writes a valid sample of a few\n"
    "blocks with a version record.\n"
    "\n"
    "Content:\n"
    "  -o, --output FILE         file to write ('-' for standard output)\n"
    "      --index TEXT          index text of the INDEX= line (CVF-DEMO-0001)\n"
    "      --device NAME         device name of the DEVICE line (Demo Controller)\n"
    "      --version1 TEXT       first text of the version record (V2.4.1)\n"
    "      --version2 TEXT       second text of the version record (2026-11)\n"
    "      --no-version          leave the version record out\n"
    "      --line-bytes N        data bytes per line, 1..128 (32)\n"
    "      --block-bytes N       data bytes per block (8192)\n"
    "      --blocks N            number of generated blocks (3)\n"
    "      --start ADDR          start address of the first block, hex (0000)\n"
    "      --no-final-marker     leave the last block without a marker line\n"
    "      --image FILE          take the data bytes from a binary file; the\n"
    "                            version record is then written only when\n"
    "                            --version1 or --version2 is given\n"
    "      --seed N              seed of the generated content (1)\n"
    "Deliberate faults (lines count from 1 over the data section):\n"
    "      --bad-checksum LINE   wrong checksum on that line\n"
    "      --bad-block-sum BLOCK wrong block sum in that block\n"
    "      --lowercase-checksum LINE  a lower-case checksum digit (0: last line)\n"
    "      --lf-only             LF alone as line end\n"
    "      --blank-line-at-end   an empty line after the last frame\n"
    "      --overlong-line LINE  that line padded to 320 characters\n"
    "Other:\n"
    "      --describe FILE       print what a firmware file holds and check it\n"
    "                            as the tool loads it\n"
    "  -h, --help                this text\n";

enum Option {
    OptIndex = 1000, OptDevice, OptVersion1, OptVersion2, OptNoVersion, OptLineBytes, OptBlockBytes,
    OptBlocks, OptStart, OptNoFinalMarker, OptImage, OptSeed, OptBadChecksum, OptBadBlockSum,
    OptLowercase, OptLfOnly, OptBlankLine, OptOverlong, OptDescribe
};

long Number(const char* text, int base, const char* what)
{
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, base);
    if (errno != 0 || end == text || *end != '\0') {
        std::cerr << "cvf-make: " << what << " is not a number: " << text << "\n";
        std::exit(2);
    }
    return value;
}

std::string FaultText(const LoadResult& result)
{
    const std::string line = "data line " + std::to_string(result.faultLine);
    switch (result.fault) {
    case LoadFault::None: break;
    case LoadFault::BadChecksum: return line + " is not a frame with a valid checksum";
    case LoadFault::LineTooLong: return line + " is longer than " + std::to_string(LINE_CHUNK - 1) + " characters";
    case LoadFault::BlockSum: return "the block closed at " + line + " does not add up to its block sum";
    case LoadFault::ReadError: return "the file could not be read after " + line;
    case LoadFault::NoTerminator: return line + " does not end in EOT";
    case LoadFault::HeaderLineTooLong:
        return "line " + std::to_string(result.faultLine) + " of the file is longer than " +
               std::to_string(LINE_CHUNK - 1) + " characters";
    case LoadFault::Changed: return "the file was written to while it was read";
    case LoadFault::Stopped: return "the check was stopped";
    }
    return {};
}

// Shows a version text up to its first NUL, with other control bytes as \xNN.
std::string Printable(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u == 0)
            break;
        if (u < 0x20 || u == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", u);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

int Describe(const char* path)
{
    CFirmwareFile file;
    CFileError error;
    if (!file.Open(path, CFirmwareFile::modeRead, &error)) {
        std::cerr << "cvf-make: " << path << ": " << std::strerror(error.m_osError) << "\n";
        return 1;
    }
    const bool header = file.FindText("[PSDINDEX]") >= 0 && file.FindText("[DATA]") >= 0;
    std::cout << "header:     " << (header ? "[PSDINDEX] and [DATA] found" : "incomplete") << "\n";
    std::cout << "index:      " << file.GetIndex() << "\n";
    std::cout << "device:     " << file.GetDevice() << "\n";
    if (!header)
        return 1;
    std::cout << "data size:  " << file.GetDataSize() << " bytes\n";
    const LoadResult result = LoadFirmwareData(file);
    std::cout << "data lines: " << result.lines << " (" << result.markers << " block markers)"
              << (result.Good() ? "" : ", stopped at the faulty line") << "\n";
    std::cout << "data bytes: " << result.totalBytes << "\n";
    if (!result.Good()) {
        std::cout << "faulty:     " << FaultText(result) << "\n";
        return 1;
    }
    std::string version1, version2;
    DecodeVersionRecord(result.versionText, version1, version2);
    std::cout << "version:    \"" << Printable(version1) << "\", \"" << Printable(version2) << "\"\n";
    std::cout << "good:       the file may be sent\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    static const option longOptions[] = {
        {"output", required_argument, nullptr, 'o'},
        {"help", no_argument, nullptr, 'h'},
        {"index", required_argument, nullptr, OptIndex},
        {"device", required_argument, nullptr, OptDevice},
        {"version1", required_argument, nullptr, OptVersion1},
        {"version2", required_argument, nullptr, OptVersion2},
        {"no-version", no_argument, nullptr, OptNoVersion},
        {"line-bytes", required_argument, nullptr, OptLineBytes},
        {"block-bytes", required_argument, nullptr, OptBlockBytes},
        {"blocks", required_argument, nullptr, OptBlocks},
        {"start", required_argument, nullptr, OptStart},
        {"no-final-marker", no_argument, nullptr, OptNoFinalMarker},
        {"image", required_argument, nullptr, OptImage},
        {"seed", required_argument, nullptr, OptSeed},
        {"bad-checksum", required_argument, nullptr, OptBadChecksum},
        {"bad-block-sum", required_argument, nullptr, OptBadBlockSum},
        {"lowercase-checksum", required_argument, nullptr, OptLowercase},
        {"lf-only", no_argument, nullptr, OptLfOnly},
        {"blank-line-at-end", no_argument, nullptr, OptBlankLine},
        {"overlong-line", required_argument, nullptr, OptOverlong},
        {"describe", required_argument, nullptr, OptDescribe},
        {nullptr, 0, nullptr, 0},
    };

    MakerOptions o;
    std::string output;
    std::string imagePath;
    bool versionGiven = false;
    bool noVersion = false;
    int c;
    while ((c = getopt_long(argc, argv, "o:h", longOptions, nullptr)) != -1) {
        switch (c) {
        case 'o': output = optarg; break;
        case 'h': std::cout << kUsage; return 0;
        case OptIndex: o.index = optarg; break;
        case OptDevice: o.device = optarg; break;
        case OptVersion1: o.version1 = optarg; versionGiven = true; break;
        case OptVersion2: o.version2 = optarg; versionGiven = true; break;
        case OptNoVersion: noVersion = true; break;
        case OptLineBytes: o.lineBytes = static_cast<int>(Number(optarg, 10, "--line-bytes")); break;
        case OptBlockBytes: o.blockBytes = static_cast<int>(Number(optarg, 0, "--block-bytes")); break;
        case OptBlocks: o.blocks = static_cast<int>(Number(optarg, 10, "--blocks")); break;
        case OptStart: o.startAddress = static_cast<uint16_t>(Number(optarg, 16, "--start")); break;
        case OptNoFinalMarker: o.finalMarker = false; break;
        case OptImage: imagePath = optarg; break;
        case OptSeed: o.seed = static_cast<uint32_t>(Number(optarg, 0, "--seed")); break;
        case OptBadChecksum: o.badChecksumLine = static_cast<int>(Number(optarg, 10, "--bad-checksum")); break;
        case OptBadBlockSum: o.badBlockSum = static_cast<int>(Number(optarg, 10, "--bad-block-sum")); break;
        case OptLowercase: {
            const long line = Number(optarg, 10, "--lowercase-checksum");
            o.lowercaseChecksumLine = line == 0 ? -1 : static_cast<int>(line);
            break;
        }
        case OptLfOnly: o.lfOnly = true; break;
        case OptBlankLine: o.blankLineAtEnd = true; break;
        case OptOverlong: o.overlongLine = static_cast<int>(Number(optarg, 10, "--overlong-line")); break;
        case OptDescribe: return Describe(optarg);
        default: std::cerr << kUsage; return 2;
        }
    }
    if (optind != argc || output.empty()) {
        std::cerr << kUsage;
        return 2;
    }

    if (!imagePath.empty()) {
        std::ifstream in(imagePath, std::ios::binary);
        if (!in) {
            std::cerr << "cvf-make: cannot read " << imagePath << "\n";
            return 1;
        }
        o.image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (o.image.empty()) {
            std::cerr << "cvf-make: " << imagePath << " is empty\n";
            return 1;
        }
        o.writeVersion = versionGiven;
    }
    if (noVersion)
        o.writeVersion = false;

    const MakerResult result = MakeFirmwareFile(o);
    if (!result.error.empty()) {
        std::cerr << "cvf-make: " << result.error << "\n";
        return 1;
    }
    if (output == "-") {
        std::cout.write(result.bytes.data(), static_cast<std::streamsize>(result.bytes.size()));
        return std::cout ? 0 : 1;
    }
    std::ofstream out(output, std::ios::binary | std::ios::trunc);
    out.write(result.bytes.data(), static_cast<std::streamsize>(result.bytes.size()));
    out.close();
    if (!out) {
        std::cerr << "cvf-make: cannot write " << output << "\n";
        return 1;
    }
    return 0;
}
