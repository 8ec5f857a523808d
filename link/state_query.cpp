// The state of one path, asked of the state server on the kept connection. It runs on
// Explorer's display path: while a failure pause lasts it costs one clock reading.
#include "common/log_text.h"
#include "common/settings.h"
#include "common/text_error.h"
#include "link/quorvane.h"
#include "wire/encoding.h"
#include "wire/line_socket.h"

namespace {

constexpr std::int32_t kDefaultRetryTimeoutMs = 1000;
// How long one answer may serve the other overlay classes. Explorer asks them about one item
// within microseconds of each other; a bound keeps an occasional caller from ever getting an
// answer older than this, whatever is configured.
constexpr std::int32_t kDefaultStateShareTimeoutMs = 500;
constexpr std::int32_t kLongestStateShareTimeoutMs = 1000;

std::wstring withoutTrailingBackslashes(std::wstring path) {
    const std::size_t end = path.find_last_not_of(L'\\');
    path.erase(end == std::wstring::npos ? 0 : end + 1);
    return path;
}

}  // namespace

std::int64_t Quorvane::currentTimeMillis() noexcept {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const std::int64_t ticks = (std::int64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
    constexpr std::int64_t kTicksFrom1601To1970 = 116444736000000000;
    return (ticks - kTicksFrom1601To1970) / 10000;
}

void Quorvane::readStateSettingsOnce() {
    stateSettingsRead_([this]() noexcept {
        retryTimeout_ = kDefaultRetryTimeoutMs;
        stateShareTimeout_ = kDefaultStateShareTimeoutMs;
        try {
            retryTimeout_ = readTimeout(L"retry-timeout", kDefaultRetryTimeoutMs);
            stateShareTimeout_ =
                readTimeout(L"state-share-timeout", kDefaultStateShareTimeoutMs, kLongestStateShareTimeoutMs);
        } catch (...) {
            // The defaults stay.
        }
    });
}

void Quorvane::pauseStates(std::int64_t from) { statesDisabledUntil_ = from + retryTimeout_; }

std::wstring Quorvane::getState(std::wstring path, std::uint32_t askerBit) noexcept {
    try {
        if (logger_->debugEnabled()) logger_->debug(L"Quorvane::getState " + path);
        readStateSettingsOnce();
        const std::int64_t now = clock_();
        if (now < statesDisabledUntil_) return {};
        path = withoutTrailingBackslashes(std::move(path));
        if (path.empty()) return {};  // nothing to ask for
        const std::int32_t shareMs = askerBit != 0 ? stateShareTimeout_.load() : 0;
        if (shareMs > 0) {
            if (std::optional<std::wstring> shared = stateShare_.take(path, askerBit, now, shareMs)) {
                if (logger_->debugEnabled())
                    logger_->debug(L"Quorvane::getState answer shared with another overlay class: '" +
                                   clipForLog(*shared) + L"'");
                return std::move(*shared);
            }
        }
        if (!checkStateServerRunning()) {
            if (clock_() < statesDisabledUntil_) return {};  // another thread's pause, begun meanwhile
            pauseStates(now);
            logger_->write(L"states will be disabled until " + int64ToText(statesDisabledUntil_));
            return {};
        }
        clearExpiredPause(now);
        std::optional<StateAnswer> answer = queryState(path);
        if (!answer) return {};
        if (shareMs > 0) stateShare_.remember(path, answer->state, askerBit, clock_(), answer->exchange, shareMs);
        return std::move(answer->state);
    } catch (...) {
        // Nothing may reach Explorer; the failure has no text worth more than "no state".
        return {};
    }
}

// Only a pause that has run out is cleared: one that another thread started since this one
// looked is kept.
void Quorvane::clearExpiredPause(std::int64_t now) noexcept {
    std::int64_t seen = statesDisabledUntil_.load();
    if (seen != 0 && seen <= now) statesDisabledUntil_.compare_exchange_strong(seen, 0);
}

void Quorvane::exchangeOnStateConnection(const std::vector<std::wstring>& arguments,
                                         std::vector<std::wstring>& replies, Deadline deadline) {
    replies.clear();
    if (!stateConnection_) stateConnection_ = openConnection(stateServerPort_);
    exchangeRequest(L"get-states", arguments, *stateConnection_, replies, deadline);
    if (stateConnection_->peerClosed()) {
        // The server went away: keeping the connection would only fail the next query. A reply
        // cut off before its first line is a failure, so that a new connection is tried now.
        dropStateConnection();
        if (replies.empty()) throw TextError(L"connection closed by the state server");
    }
}

std::optional<Quorvane::StateAnswer> Quorvane::queryState(const std::wstring& path) {
    const std::vector<std::wstring> arguments = {path};
    std::vector<std::wstring> replies;
    std::uint64_t exchange = 0;
    {
        CriticalSection::Scoped hold(stateLock_);
        // A thread that held the lock may have failed twice and paused the queries meanwhile:
        // asking again would only repeat its failure.
        if (clock_() < statesDisabledUntil_) return std::nullopt;
        // Both attempts share one bound, so a server that drips its reply costs it once.
        const Deadline deadline = replyDeadline();
        std::int32_t asked = stateServerPort_.load();
        try {
            try {
                exchangeOnStateConnection(arguments, replies, deadline);
            } catch (const TextError& first) {
                logger_->error(L"get-states failed: " + first.text());
                // The stream is at an unknown point: only a new connection can be trusted.
                dropStateConnection();
                exchangeOnStateConnection(arguments, replies, deadline);
            }
        } catch (const TextError& second) {
            logger_->error(L"get-states failed again: " + second.text());
            logger_->error(L"disabling states for " + int64ToText(retryTimeout_) + L"ms");
            pauseStates(clock_());
            dropStateConnection();
            // Run discovery again after the pause, unless another thread has already found the
            // server anew.
            stateServerPort_.compare_exchange_strong(asked, 0);
            return std::nullopt;
        } catch (...) {
            dropStateConnection();
            logger_->error(L"get-states failed (unknown)");
            return std::nullopt;
        }
        exchange = ++stateExchanges_;
    }
    return StateAnswer{interpretStateReply(path, replies), exchange};
}

std::wstring Quorvane::interpretStateReply(const std::wstring& path, const std::vector<std::wstring>& replies) {
    if (replies.empty()) return {};
    const std::wstring& line = replies.front();  // further lines are not looked at
    std::vector<std::wstring> tokens = splitTokens(line);
    if (tokens.size() == 2) return tokens[0] == path ? std::move(tokens[1]) : std::wstring();
    if (tokens.size() == 1 && tokens[0] == L"not applicable") {
        logger_->debug(L"received 'not applicable'");
        return {};
    }
    logger_->error(L"Expected two tokens for state line '" + clipForLog(line) + L"'.");
    return {};
}
