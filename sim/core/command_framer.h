// Cuts the incoming byte stream into commands.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace velmaro::sim {

class CommandFramer {
public:
    // Nothing the drivers send comes close; anything longer is line noise.
    static constexpr std::size_t kMaxCommandLength = 64;

    // A command starts at ':' and ends at '#', except the bare ":KA" park
    // command which is complete after its third byte.  Bytes outside a
    // command are ignored; a command that grows past the limit is dropped.
    std::vector<std::string> feed(std::string_view bytes);

    // True while part of a command has arrived.
    bool midCommand() const { return inCommand_; }

private:
    std::string partial_;
    bool inCommand_ = false;
};

}  // namespace velmaro::sim
