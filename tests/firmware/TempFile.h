#pragma once
// A file in a private temporary directory, removed with the object.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

class TempDir {
public:
    TempDir()
    {
        char pattern[] = "/tmp/cvf-test-XXXXXX";
        m_path = ::mkdtemp(pattern);
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    const std::string& Path() const { return m_path; }

    std::string Write(const std::string& name, const std::string& bytes) const
    {
        const std::string path = m_path + "/" + name;
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
        return path;
    }

private:
    std::string m_path;
};
