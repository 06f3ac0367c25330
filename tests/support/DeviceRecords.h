#pragma once
// Private folders with firmware files, and what the simulated device
// recorded: the image it assembled and the requests it heard.

#include "SimDevice.h"

#include <map>
#include <string>
#include <vector>

#include "FirmwareMaker.h"

// A private temporary folder, removed with the object.
class CTempDir {
public:
    CTempDir();
    ~CTempDir();
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;
    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }
    // Writes a file into the folder and returns its path.
    std::string Write(const std::string& name, const std::string& bytes) const;
    // A firmware file as cvf-make writes it; empty when the options cannot be met.
    std::string WriteFirmware(const std::string& name, const MakerOptions& options = MakerOptions()) const;

private:
    std::string m_path;
};

// A small firmware file: two blocks of eight lines of 32 bytes, each closed
// by a marker, so that lines 1-8 and 10-17 carry data and 9 and 18 are the
// markers; no version record; the sample's index and device.
MakerOptions SmallFirmware();
// A firmware file written by the maker into directory.
std::string WriteFirmware(const std::string& directory, const std::string& name, const MakerOptions& options);
// What a device builds from the file's data lines: address -> byte.
std::map<unsigned, unsigned> ImageOfFile(const std::string& path);
// The image written by cvf-devsim --image-out (lines "AAAA HHHH...").
std::map<unsigned, unsigned> ReadDeviceImage(const std::string& path);
// The requests the device received, in order: ASP, PSD, EAE, RST, DPZ,
// FW for a firmware line, BAD for a frame with a bad checksum.
std::vector<std::string> Requests(const CSimDevice& sim);
// The requests after the last firmware line (none when no line came).
std::vector<std::string> RequestsAfterLines(const CSimDevice& sim);
// The port directory the device published itself in.
std::string PortDirectoryOf(const CSimDevice& sim);
