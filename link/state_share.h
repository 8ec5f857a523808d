#pragma once
// Recent state answers, shared between the overlay classes. Explorer asks each overlay class in
// turn whether an item is its own; all of them need the same state, so one answer serves the
// whole sweep. A class that asks again for an answer it was already given starts a new sweep
// (Explorer asks again after a change notice): it gets a fresh answer, never a remembered one.
#include <windows.h>

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
    // enough to cost nothing worth mentioning.
    static constexpr std::size_t kCapacity = 128;

    StateShare() { byPath_.reserve(kCapacity + 1); }
    StateShare(const StateShare&) = delete;
    StateShare& operator=(const StateShare&) = delete;

    // The state remembered for the path, when it arrived at most maxAgeMs before now and the
    // asker (one bit per overlay class) has not been given it yet; the asker counts as given it.
    std::optional<std::wstring> take(const std::wstring& path, std::uint32_t asker, std::int64_t now,
                                     std::int32_t maxAgeMs);
    // Remembers the answer of a completed exchange as given to the asker alone. Exchanges are
    // numbered in the order they went out: an answer of an exchange older than the remembered
    // one is not remembered. Never throws; at worst nothing is remembered.
    void remember(const std::wstring& path, const std::wstring& state, std::uint32_t asker, std::int64_t arrived,
                  std::uint64_t exchange, std::int32_t maxAgeMs) noexcept;

private:
    struct Answer {
        std::wstring path;
        std::wstring state;
        std::int64_t arrived;
        std::uint64_t exchange;
        std::uint32_t given;
    };
    void forget(std::list<Answer>::iterator answer) noexcept;

    CriticalSection lock_;  // never held with another lock, nor during I/O
    std::list<Answer> answers_;  // oldest first
    std::unordered_map<std::wstring_view, std::list<Answer>::iterator> byPath_;  // views of answers_' paths
};
