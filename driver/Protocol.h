// Fixed texts and reply lengths of the mount protocol that the connection,
// the setup probe and the link demo share; what differs by model is in
// the model rows.
#pragma once

#include "MountModels.h"

#include <cstdint>

constexpr const char* kHandshakeCommand = ":V#";
constexpr const char* kHandshakeReply = "V1.00#";
constexpr std::uint32_t kHandshakeReplyLength = 6;
constexpr const char* kMountInfoCommand = ":MountInfo#";
constexpr std::uint32_t kMountInfoReplyLength = 6;

// Time replies (":GR#", ":GS#", ":GL#") on a model: the row's length.
std::uint32_t timeReplyLength(int model);
