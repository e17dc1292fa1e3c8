// What the config needs of the system, one file per system: reading a
// small file, replacing one so that a crash leaves the old or the new,
// never a mix, and random bytes for the UniqueID. (The default path and
// the config's folder, declared in ServerConfig.h, live there too.)
// The reasons are one line and do not repeat the path the caller names.
#pragma once

#include <cstddef>
#include <string>

constexpr std::size_t kLargestConfigFile = 64 * 1024;

// A regular file of at most `largest` bytes into text. False with the
// reason otherwise; `missing` is set when nothing is at the path.
bool readSmallFile(const std::string& path, std::size_t largest, std::string& text, bool& missing,
                   std::string& error);

// Writes text to path atomically: a temporary file beside it, flushed,
// then put in its place.
bool replaceFile(const std::string& path, const std::string& text, std::string& error);

// count bytes from the system's random source; false when it has none.
bool systemRandom(unsigned char* bytes, std::size_t count);
