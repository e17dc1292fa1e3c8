#include "pty/pty_port.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace velmaro::sim {

namespace {
std::string describe(const std::string& what) { return what + ": " + std::strerror(errno); }
}  // namespace

PtyPort::~PtyPort() { close(); }

void PtyPort::close() {
    unlink();
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
    slave_ = master_ = -1;
    slaveName_.clear();
}

bool PtyPort::open(std::string* error) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0) {
        *error = describe("posix_openpt");
        return false;
    }
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        *error = describe("grantpt/unlockpt");
        return false;
    }
    char name[256];
    if (::ptsname_r(master_, name, sizeof name) != 0) {
        *error = describe("ptsname_r");
        return false;
    }
    slaveName_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY);
    if (slave_ < 0) {
        *error = describe("open " + slaveName_);
        return false;
    }
    termios tio{};
    if (::tcgetattr(slave_, &tio) != 0) {
        *error = describe("tcgetattr");
        return false;
    }
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, B9600);
    ::cfsetospeed(&tio, B9600);
    if (::tcsetattr(slave_, TCSANOW, &tio) != 0) {
        *error = describe("tcsetattr");
        return false;
    }
    const int flags = ::fcntl(master_, F_GETFL);
    if (flags < 0 || ::fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0) {
        *error = describe("fcntl O_NONBLOCK");
        return false;
    }
    return true;
}

bool PtyPort::link(const std::string& path, std::string* error) {
    struct stat st{};
    if (::lstat(path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        *error = path + " exists and is not a symlink; not replacing it";
        return false;
    }
    // Build the link beside the target and rename it over, so a client never
    // finds the path missing or half made.
    const std::string temp = path + ".tmp." + std::to_string(::getpid());
    ::unlink(temp.c_str());
    if (::symlink(slaveName_.c_str(), temp.c_str()) != 0) {
        *error = describe("symlink " + temp);
        return false;
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        *error = describe("rename to " + path);
        ::unlink(temp.c_str());
        return false;
    }
    linkPath_ = path;
    return true;
}

void PtyPort::unlink() {
    if (linkPath_.empty()) return;
    char target[512];
    const ssize_t n = ::readlink(linkPath_.c_str(), target, sizeof target - 1);
    // Leave the path alone if someone else has pointed it elsewhere since.
    if (n >= 0 && std::string(target, static_cast<std::size_t>(n)) == slaveName_) ::unlink(linkPath_.c_str());
    linkPath_.clear();
}

}  // namespace velmaro::sim
