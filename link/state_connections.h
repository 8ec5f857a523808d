#pragma once
// The kept connections to the state server. Each is used by one thread at a time, so Explorer
// threads asking for states at once do not wait for each other's requests; how many may be
// open at most is the limit ("state-connections").
#include <windows.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "wire/line_socket.h"

class StateConnections {
public:
    struct Connection {
        std::unique_ptr<LineSocket> socket;  // null until the taker opens it
        bool answered = false;               // has carried a complete exchange
        bool silent = false;                 // its first request got not even one line back in time
    };
    using Taken = std::unique_ptr<Connection>;

    StateConnections() = default;
    ~StateConnections() { closeIdle(); }
    StateConnections(const StateConnections&) = delete;
    StateConnections& operator=(const StateConnections&) = delete;

    void setLimit(int limit) noexcept;
    int limit() const noexcept;
    // Connections open or being opened, idle or taken.
    int count() const noexcept;

    // An idle connection (the most recently used), or an empty one to open while fewer than the
    // limit exist, or the first one given back by the deadline; null when none became free.
    // fresh: never an idle one (a retry trusts only a new connection); an idle one is closed
    // to make room when the limit is reached.
    Taken take(Deadline deadline, bool fresh = false);
    // Kept for the next taker while it is open and fewer than the limit are idle; closed otherwise.
    void giveBack(Taken connection) noexcept;
    void discard(Taken connection) noexcept;
    // Lowers the limit to one; true only for the call that lowered it.
    bool limitToOne() noexcept;
    // Closes every idle connection; those taken are closed when given back after a failure.
    void closeIdle() noexcept;

private:
    void release() noexcept;  // one connection fewer; wakes a waiting taker

    // The lock guards the lists and counts only: a taken connection belongs to its taker alone,
    // and no I/O happens under the lock (closing an idle socket aside, which does not block).
    mutable SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE freed_ = CONDITION_VARIABLE_INIT;
    std::vector<Taken> idle_;
    int count_ = 0;
    int limit_ = 1;
};
