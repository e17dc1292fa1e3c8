// The pseudo-terminal the client opens as its serial port.
#pragma once

#include <string>

namespace velmaro::sim {

class PtyPort {
public:
    PtyPort() = default;
    ~PtyPort();
    PtyPort(const PtyPort&) = delete;
    PtyPort& operator=(const PtyPort&) = delete;

    // Opens master and slave, puts the line in raw mode.  On failure returns
    // false with a message in *error.
    bool open(std::string* error);

    // Points `path` at the slave device, replacing a symlink already there
    // (never any other kind of file).
    bool link(const std::string& path, std::string* error);

    // Removes the symlink if it still points at our slave.
    void unlink();

    // The cable pulled: the link goes, and both ends of the pty close, so a
    // client holding the old slave sees the line hang up. open() and link()
    // make a new one.
    void close();
    bool isOpen() const { return master_ >= 0; }

    int master() const { return master_; }
    const std::string& slaveName() const { return slaveName_; }

private:
    int master_ = -1;
    // Held open for the simulator's whole life and never read: while it is
    // open the master never sees hang-up when a client closes the port.
    int slave_ = -1;
    std::string slaveName_;
    std::string linkPath_;
};

}  // namespace velmaro::sim
