// The settings velmaro-alpaca keeps between runs: the listen address, and
// for each mount it serves its serial device, its trace switch and the
// UniqueID clients know it by. A small "key = value" text file, replaced
// whole on every save.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct MountConfig {
    std::string serial;       // the device; empty when none was chosen
    bool traceOn = false;
    std::string uniqueId;     // generated once, never changed
};

struct ServerConfig {
    std::string listen;       // empty: the command line's (or the default)
    // The first mount, then each "[mount N]" section in order; never
    // empty: the first is served even before its device is chosen.
    std::vector<MountConfig> mounts = std::vector<MountConfig>(1);
};

// The most mounts one config may name.
constexpr std::size_t kMostMounts = 16;

// $XDG_CONFIG_HOME/velmaro/alpaca.conf (when that is an absolute path), else
// $HOME/.config/velmaro/alpaca.conf, else the same under the account's home
// folder from the password database; empty when there is no home at all.
std::string defaultConfigPath();

// Reads path: UTF-8 text, one "key = value" a line, '#' comment lines and
// blank lines ignored. Before any section: listen, and the first mount's
// serial, trace (on/off) and unique_id; each "[mount N]" line (N = 1, 2,
// ... in order, at most kMostMounts mounts in all) starts the next mount's
// serial, trace and unique_id. Other keys are ignored (a newer version may
// add some). Two mounts may not share a serial device or a UniqueID. A
// missing file gives an empty config and true. False with a one-line
// reason, and config left as it was, for a file that cannot be read
// (permissions, a folder, over 64 KiB) or is malformed (the reason names
// the line, or the two mounts that share). The reasons do not repeat
// the path, which the caller names: "not readable: it is a folder",
// "malformed at line 3: trace must be on or off".
bool loadConfig(const std::string& path, ServerConfig& config, std::string& error);

// Writes config to path atomically: a temporary file in the same folder,
// fsync, rename over the old file, fsync of the folder; a crash leaves the
// old file or the new one, never a mix. A symbolic link at path is kept and
// its target replaced. A value with a control character, invalid UTF-8, or
// spaces at its ends (which a load would lose) is refused, as is a listen
// that is not a numeric address and whatever else a load would refuse (two
// mounts on one device, a repeated UniqueID, too many mounts). False with a
// one-line reason that does not repeat the path ("serial has a control character", "cannot make a
// file in /etc/velmaro: Permission denied").
bool saveConfig(const std::string& path, const ServerConfig& config, std::string& error);

// Makes sure path's folder exists. When it is missing and isDefaultPath,
// makes it (the velmaro folder and, if needed, its parent, mode 0700); for
// any other path a missing folder is an error the caller reports.
bool prepareConfigFolder(const std::string& path, bool isDefaultPath, std::string& error);

// A random UUID (version 4, lower-case 8-4-4-4-12 hex) from the system's
// random source; empty in the unlikely case the system has none.
std::string newUniqueId();
