#pragma once
// Recent state answers, shared between the overlay classes. Explorer asks each overlay class in
// turn whether an item is its own; all of them need the same state, so one answer serves the
// whole sweep. Sweeps run on many threads at once, so an answer serves a sweep only when its
// request went out after that sweep began: every sweep sees the application's state as of its
// own beginning or later, however the threads interleave.
#include <windows.h>

#include <array>
#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "common/handles.h"

class StateShare {
public:
    // Enough for every item that one Explorer window sweeps within the age bound, and small
    // enough to cost nothing worth mentioning: a misbehaving server's huge answers are bounded
    // in characters too (paths and states together), so they can pin no more than about 1 MB.
    static constexpr std::size_t kCapacity = 128;
    static constexpr std::size_t kCapacityCharacters = std::size_t{1} << 19;

    // Tickets order the beginnings of sweeps and the sending of requests across all threads:
    // a later ticket was taken later. A tick count cannot do that (it moves every 16 ms).
    static std::uint64_t nextTicket() noexcept;

    StateShare() { byPath_.reserve(kCapacity + 1); }
    StateShare(const StateShare&) = delete;
    StateShare& operator=(const StateShare&) = delete;

    // The asker (one bit per overlay class) asks on the calling thread: it joins that thread's
    // sweep of the path, or begins a new one when the thread last asked for another path, or
    // longer than maxAgeMs ago, or the asker has asked in it already (Explorer sweeping again,
    // as after a change notice). Gives the state remembered for the path when its request went
    // out after the sweep began and it arrived at most maxAgeMs before now (milliseconds on a
    // monotonic clock).
    std::optional<std::wstring> take(const std::wstring& path, std::uint32_t asker, std::uint64_t now,
                                     std::int32_t maxAgeMs);
    // Remembers the answer to the request sent with the ticket, unless an answer to a later
    // request is remembered for the path. Never throws; at worst nothing is remembered.
    void remember(const std::wstring& path, const std::wstring& state, std::uint64_t request, std::uint64_t arrived,
                  std::int32_t maxAgeMs) noexcept;

private:
    struct Answer {
        std::wstring path;
        std::wstring state;
        std::uint64_t request;
        std::uint64_t arrived;
    };
    // A sweep belongs to its thread: Explorer asks the overlay classes about an item in turn on
    // one thread. Kept here rather than in thread-local storage, which the library keeps only
    // for the runtime's own needs.
    struct Sweep {
        DWORD thread;
        std::uint64_t pathHash;
        std::uint64_t ticket;  // taken when it began
        std::uint64_t lastAsked;
        std::uint32_t asked;  // the overlay classes that have asked in it
    };
    // As many threads as sweep at once; a thread whose sweep was pushed out by others only
    // begins a new one, which costs a request and never gives an older answer.
    static constexpr std::size_t kSweeps = 64;
    std::uint64_t sweepOf(const std::wstring& path, std::uint32_t asker, std::uint64_t now, std::int32_t maxAgeMs);
    void forget(std::list<Answer>::iterator answer) noexcept;

    CriticalSection lock_;  // never held with another lock, nor during I/O
    std::list<Answer> answers_;  // oldest first
    std::unordered_map<std::wstring_view, std::list<Answer>::iterator> byPath_;  // views of answers_' paths
    std::size_t characters_ = 0;  // of the paths and states in answers_
    std::array<Sweep, kSweeps> sweeps_{};
};
