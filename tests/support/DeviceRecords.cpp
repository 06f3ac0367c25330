#include "DeviceRecords.h"

#include "FirmwareMaker.h"
#include "firmware/FirmwareFile.h"
#include "link/Frame.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <stdlib.h>

CTempDir::CTempDir()
{
    char pattern[] = "/tmp/cvf-test-XXXXXX";
    if (mkdtemp(pattern) != nullptr)
        m_path = pattern;
}

CTempDir::~CTempDir()
{
    std::error_code ignored;
    if (!m_path.empty())
        std::filesystem::remove_all(m_path, ignored);
}

std::string CTempDir::Write(const std::string& name, const std::string& bytes) const
{
    const std::string path = File(name);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    return path;
}

std::string CTempDir::WriteFirmware(const std::string& name, const MakerOptions& options) const
{
    const MakerResult made = MakeFirmwareFile(options);
    return made.error.empty() ? Write(name, made.bytes) : std::string();
}

MakerOptions SmallFirmware()
{
    MakerOptions o;
    o.blocks = 2;
    o.blockBytes = 256;
    o.lineBytes = 32;
    o.writeVersion = false;
    return o;
}

std::string WriteFirmware(const std::string& directory, const std::string& name, const MakerOptions& options)
{
    const std::string path = directory + "/" + name;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << MakeFirmwareFile(options).bytes;
    return path;
}

std::map<unsigned, unsigned> ImageOfFile(const std::string& path)
{
    std::map<unsigned, unsigned> image;
    CFirmwareFile file;
    if (!file.Open(path.c_str()))
        return image;
    file.SeekToData();
    std::string line;
    bool blockStart = true;
    while (file.ReadLine(line)) {
        const CFrame frame(line);
        if (frame.IsBlockMarker()) {
            blockStart = true;
            continue;
        }
        unsigned address = frame.GetAddress(blockStart);
        const std::string data = frame.GetDataText(blockStart);
        for (size_t i = 0; i + 1 < data.size(); i += 2)
            image[address++ & 0xFFFF] = static_cast<unsigned>(std::stoul(data.substr(i, 2), nullptr, 16));
        blockStart = false;
    }
    return image;
}

std::map<unsigned, unsigned> ReadDeviceImage(const std::string& path)
{
    std::map<unsigned, unsigned> image;
    std::istringstream in(ReadFile(path));
    std::string address, bytes;
    while (in >> address >> bytes) {
        unsigned a = static_cast<unsigned>(std::stoul(address, nullptr, 16));
        for (size_t i = 0; i + 1 < bytes.size(); i += 2)
            image[a++ & 0xFFFF] = static_cast<unsigned>(std::stoul(bytes.substr(i, 2), nullptr, 16));
    }
    return image;
}

std::vector<std::string> Requests(const CSimDevice& sim)
{
    std::vector<std::string> words;
    std::istringstream in(sim.Log());
    std::string line;
    while (std::getline(in, line)) {
        if (line.find(" RX ") == std::string::npos)
            continue;
        const size_t ok = line.rfind(" ok ");
        if (ok != std::string::npos) {
            const std::string what = line.substr(ok + 4);
            words.push_back(what.compare(0, 4, "line") == 0 ? "FW" : what.substr(0, 3));
        } else if (line.find("bad-checksum") != std::string::npos) {
            words.push_back("BAD");
        }
    }
    return words;
}

std::vector<std::string> RequestsAfterLines(const CSimDevice& sim)
{
    const std::vector<std::string> words = Requests(sim);
    const auto last = std::find(words.rbegin(), words.rend(), "FW");
    if (last == words.rend())
        return {};
    return std::vector<std::string>(last.base(), words.end());
}

std::string PortDirectoryOf(const CSimDevice& sim)
{
    return std::filesystem::path(sim.LinkPath()).parent_path().string();
}
