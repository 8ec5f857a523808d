#include "link/state_connections.h"

namespace {

class Exclusive {
public:
    explicit Exclusive(SRWLOCK& lock) noexcept : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~Exclusive() { ReleaseSRWLockExclusive(&lock_); }
    Exclusive(const Exclusive&) = delete;
    Exclusive& operator=(const Exclusive&) = delete;

private:
    SRWLOCK& lock_;
};

}  // namespace

void StateConnections::setLimit(int limit) noexcept {
    Exclusive hold(lock_);
    limit_ = limit < 1 ? 1 : limit;
}

int StateConnections::limit() const noexcept {
    Exclusive hold(lock_);
    return limit_;
}

int StateConnections::count() const noexcept {
    Exclusive hold(lock_);
    return count_;
}

StateConnections::Taken StateConnections::take(Deadline deadline, bool fresh) {
    Taken empty;  // made outside the lock, where it may throw, and only for a new connection
    for (bool opening = fresh;;) {
        if (opening && !empty) empty = std::make_unique<Connection>();
        Exclusive hold(lock_);
        if (!idle_.empty() && !fresh) {
            Taken connection = std::move(idle_.back());
            idle_.pop_back();
            return connection;
        }
        if (!idle_.empty() && count_ >= limit_) {
            idle_.back()->socket.reset();  // room for the fresh one
            idle_.pop_back();
            --count_;
        }
        if (count_ < limit_) {
            if (!empty) {
                opening = true;
                continue;  // made above without the lock, then everything looked at again
            }
            ++count_;
            return empty;
        }
        const std::uint64_t now = GetTickCount64();
        if (now >= deadline) return nullptr;
        const std::uint64_t left = deadline - now;
        SleepConditionVariableSRW(&freed_, &lock_, left < INFINITE ? static_cast<DWORD>(left) : INFINITE - 1, 0);
    }
}

void StateConnections::giveBack(Taken connection) noexcept {
    if (!connection) return;
    {
        Exclusive hold(lock_);
        if (connection->socket && connection->socket->isOpen() && idle_.size() < static_cast<std::size_t>(limit_)) {
            try {
                idle_.push_back(std::move(connection));
            } catch (...) {
                // No room in the list: closed below like any other.
            }
        }
    }
    if (connection) discard(std::move(connection));
    else WakeConditionVariable(&freed_);
}

void StateConnections::discard(Taken connection) noexcept {
    if (!connection) return;
    connection.reset();
    release();
}

void StateConnections::release() noexcept {
    {
        Exclusive hold(lock_);
        --count_;
    }
    WakeConditionVariable(&freed_);
}

bool StateConnections::limitToOne() noexcept {
    Exclusive hold(lock_);
    if (limit_ == 1) return false;
    limit_ = 1;
    return true;
}

void StateConnections::closeIdle() noexcept {
    std::vector<Taken> closing;
    {
        Exclusive hold(lock_);
        closing.swap(idle_);
        count_ -= static_cast<int>(closing.size());
    }
    WakeAllConditionVariable(&freed_);
}
