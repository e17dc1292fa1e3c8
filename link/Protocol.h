// Fixed texts and reply lengths of the mount protocol that more than one
// part of the driver relies on.
#pragma once

#include <cstdint>

constexpr const char* kHandshakeCommand = ":V#";
constexpr const char* kHandshakeReply = "V1.00#";
constexpr std::uint32_t kHandshakeReplyLength = 6;
constexpr const char* kMountInfoCommand = ":MountInfo#";
constexpr std::uint32_t kMountInfoReplyLength = 6;

// The mount model told by the answer to ":MountInfo#": ":KV72#" is model 2,
// "6150" model 3, and every other answer, none included, model 1.
int modelFromMountInfo(const char* reply);

// Time replies (":GR#", ":GS#", ":GL#") carry tenths of seconds except on
// model 3: "HH:MM:SS#" there, "HH:MM:SS.S#" elsewhere.
std::uint32_t timeReplyLength(int model);
