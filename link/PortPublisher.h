#pragma once
// Publishes a device node under a port name in the port directory (see
// PortList.h): the symbolic link NAME pointing at the device, and the lock
// file ".NAME.lock" beside it, held while the port is published. Exactly
// one publisher owns a name at a time; a link whose lock file nobody holds
// was left behind by a publisher that was killed, and the next publisher
// of that name replaces it. The directory is checked as OpenPortDirectory
// does, and nothing in it is followed through a symbolic link.

#include <string>

class CPortPublisher {
public:
    CPortPublisher() = default;
    ~CPortPublisher();  // Unpublish()
    CPortPublisher(const CPortPublisher&) = delete;
    CPortPublisher& operator=(const CPortPublisher&) = delete;

    // Publishes devicePath (made absolute against the working directory)
    // as name in portDirectory, or in PortDirectory() when that is empty;
    // the directory and its parent are made (mode 0700) where missing.
    // Fails with the reason in error when the name is not a plain file
    // name, the directory is not private, another running publisher owns
    // the name, or NAME exists and is not a symbolic link. A symbolic link
    // NAME is replaced only when a lock file of a publisher that is gone
    // stands beside it; without one it was made by hand and is kept.
    bool Publish(const std::string& name, const std::string& devicePath, std::string& error);
    bool Publish(const std::string& name, const std::string& devicePath,
                 const std::string& portDirectory, std::string& error);

    // Removes the link (when it still points where we put it) and the lock
    // file, and gives the name up. Nothing when nothing is published.
    void Unpublish();

    bool IsPublished() const { return m_lock >= 0; }
    // The link's path while published.
    const std::string& LinkPath() const { return m_linkPath; }

private:
    // Takes the lock file of name in m_dir; false with error when another
    // publisher holds it. created tells whether this call made the file.
    bool TakeLock(const std::string& name, bool& created, std::string& error);

    int m_dir = -1;   // the port directory
    int m_lock = -1;  // the held lock file
    std::string m_name;
    std::string m_target;
    std::string m_linkPath;
};
