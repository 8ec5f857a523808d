#include "link/state_share.h"

namespace {

// A clock set back makes an answer look as if it came from the future: it is not trusted.
bool isFresh(std::int64_t arrived, std::int64_t now, std::int32_t maxAgeMs) {
    return now >= arrived && now - arrived <= maxAgeMs;
}

}  // namespace

std::optional<std::wstring> StateShare::take(const std::wstring& path, std::uint32_t asker, std::int64_t now,
                                             std::int32_t maxAgeMs) {
    CriticalSection::Scoped hold(lock_);
    const auto found = byPath_.find(path);
    if (found == byPath_.end()) return std::nullopt;
    Answer& answer = *found->second;
    if ((answer.given & asker) != 0 || !isFresh(answer.arrived, now, maxAgeMs)) return std::nullopt;
    answer.given |= asker;
    return answer.state;
}

void StateShare::remember(const std::wstring& path, const std::wstring& state, std::uint32_t asker,
                          std::int64_t arrived, std::uint64_t exchange, std::int32_t maxAgeMs) noexcept {
    CriticalSection::Scoped hold(lock_);
    try {
        const auto found = byPath_.find(path);
        if (found != byPath_.end()) {
            if (found->second->exchange > exchange) return;
            forget(found->second);
        }
        while (!answers_.empty() &&
               (answers_.size() >= kCapacity || !isFresh(answers_.front().arrived, arrived, maxAgeMs)))
            forget(answers_.begin());
        answers_.push_back({path, state, arrived, exchange, asker});
        byPath_.emplace(answers_.back().path, std::prev(answers_.end()));
    } catch (...) {
        // Out of memory: an answer that is not remembered is only asked for again; a half-made
        // entry would be worse.
        byPath_.clear();
        answers_.clear();
    }
}

void StateShare::forget(std::list<Answer>::iterator answer) noexcept {
    byPath_.erase(answer->path);  // the key is a view of the answer's path: erase it first
    answers_.erase(answer);
}
