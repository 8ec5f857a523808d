#include "link/state_share.h"

#include <atomic>

namespace {

std::atomic<std::uint64_t> g_tickets{0};

// Two paths that hash alike (one in 2^64) asked in turn by one thread would count as one sweep.
std::uint64_t hashOf(const std::wstring& path) noexcept {
    std::uint64_t hash = 14695981039346656037ull;
    for (const wchar_t unit : path) hash = (hash ^ static_cast<std::uint16_t>(unit)) * 1099511628211ull;
    return hash;
}

// On a monotonic clock an arrival after now was only read later, by another thread: it is new.
bool isFresh(std::uint64_t arrived, std::uint64_t now, std::int32_t maxAgeMs) {
    return arrived >= now || now - arrived <= static_cast<std::uint64_t>(maxAgeMs);
}

std::size_t charactersOf(const std::wstring& path, const std::wstring& state) { return path.size() + state.size(); }

}  // namespace

std::uint64_t StateShare::nextTicket() noexcept { return ++g_tickets; }

// A thread id that Windows gives again to a new thread within maxAgeMs, asking for the same
// path, would continue the old thread's sweep: the one way, as unlikely as it is harmless, that
// an answer older than a sweep by less than maxAgeMs serves it.
std::uint64_t StateShare::sweepOf(const std::wstring& path, std::uint32_t asker, std::uint64_t now,
                                  std::int32_t maxAgeMs) {
    const DWORD thread = GetCurrentThreadId();
    Sweep* sweep = &sweeps_[0];
    for (Sweep& candidate : sweeps_) {
        if (candidate.thread == thread) {
            sweep = &candidate;
            break;
        }
        if (candidate.lastAsked < sweep->lastAsked) sweep = &candidate;  // the longest unused
    }
    const std::uint64_t hash = hashOf(path);
    if (sweep->thread != thread || sweep->pathHash != hash || (sweep->asked & asker) != 0 ||
        !isFresh(sweep->lastAsked, now, maxAgeMs))
        *sweep = {thread, hash, nextTicket(), now, 0};
    sweep->asked |= asker;
    sweep->lastAsked = now;
    return sweep->ticket;
}

std::optional<std::wstring> StateShare::take(const std::wstring& path, std::uint32_t asker, std::uint64_t now,
                                             std::int32_t maxAgeMs) {
    CriticalSection::Scoped hold(lock_);
    const std::uint64_t sweep = sweepOf(path, asker, now, maxAgeMs);
    const auto found = byPath_.find(path);
    if (found == byPath_.end()) return std::nullopt;
    const Answer& answer = *found->second;
    if (answer.request <= sweep || !isFresh(answer.arrived, now, maxAgeMs)) return std::nullopt;
    return answer.state;
}

void StateShare::remember(const std::wstring& path, const std::wstring& state, std::uint64_t request,
                          std::uint64_t arrived, std::int32_t maxAgeMs) noexcept {
    const std::size_t characters = charactersOf(path, state);
    CriticalSection::Scoped hold(lock_);
    try {
        const auto found = byPath_.find(path);
        if (found != byPath_.end()) {
            if (found->second->request > request) return;
            forget(found->second);
        }
        if (characters > kCapacityCharacters) return;
        while (!answers_.empty() &&
               (answers_.size() >= kCapacity || characters_ + characters > kCapacityCharacters ||
                !isFresh(answers_.front().arrived, arrived, maxAgeMs)))
            forget(answers_.begin());
        answers_.push_back({path, state, request, arrived});
        characters_ += characters;
        byPath_.emplace(answers_.back().path, std::prev(answers_.end()));
    } catch (...) {
        // Out of memory: an answer that is not remembered is only asked for again; a half-made
        // entry would be worse.
        byPath_.clear();
        answers_.clear();
        characters_ = 0;
    }
}

void StateShare::forget(std::list<Answer>::iterator answer) noexcept {
    characters_ -= charactersOf(answer->path, answer->state);
    byPath_.erase(answer->path);  // the key is a view of the answer's path: erase it first
    answers_.erase(answer);
}
