#include "core/reply_scheduler.h"

#include <algorithm>

namespace velmaro::sim {

void ReplyScheduler::schedule(std::string bytes, double dueSeconds) {
    if (bytes.empty()) return;
    pendingBytes_ += bytes.size();
    // Equal due times keep arrival order (multimap inserts after equal keys).
    pending_.emplace(dueSeconds, std::move(bytes));
    while (pendingBytes_ > kMaxPendingBytes && pending_.size() > 1) {
        pendingBytes_ -= pending_.begin()->second.size();
        pending_.erase(pending_.begin());
    }
}

std::string ReplyScheduler::release(double now) {
    std::string out;
    while (!pending_.empty()) {
        auto head = pending_.begin();
        if (secondsPerByte_ <= 0.0) {
            if (head->first > now) break;
            out += head->second;
            pendingBytes_ -= head->second.size();
            pending_.erase(head);
            continue;
        }
        // A byte leaves when its reply is due and the previous byte is out;
        // timing is kept from the schedule, not from when we woke up, so a
        // late wake-up catches up instead of slowing the whole reply.
        const double at = lineUsed_ ? std::max(head->first, lineFreeAt_) : head->first;
        if (at > now) break;
        out += head->second.front();
        head->second.erase(0, 1);
        --pendingBytes_;
        lineFreeAt_ = at + secondsPerByte_;
        lineUsed_ = true;
        if (head->second.empty()) pending_.erase(head);
    }
    return out;
}

std::optional<double> ReplyScheduler::nextWake() const {
    if (pending_.empty()) return std::nullopt;
    const double due = pending_.begin()->first;
    if (secondsPerByte_ <= 0.0 || !lineUsed_) return due;
    return std::max(due, lineFreeAt_);
}

}  // namespace velmaro::sim
