#include "core/command_framer.h"

namespace velmaro::sim {

std::vector<std::string> CommandFramer::feed(std::string_view bytes) {
    std::vector<std::string> done;
    for (const char c : bytes) {
        if (!inCommand_) {
            if (c == ':') {
                partial_.assign(1, c);
                inCommand_ = true;
            }
            continue;
        }
        // ':' cannot restart a command: it also separates fields in arguments.
        partial_ += c;
        if (partial_.size() > kMaxCommandLength) {
            partial_.clear();
            inCommand_ = false;
        } else if (c == '#' || partial_ == ":KA") {
            done.push_back(partial_);
            partial_.clear();
            inCommand_ = false;
        }
    }
    return done;
}

}  // namespace velmaro::sim
