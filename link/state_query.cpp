// The state of one path, asked of the state server on one of the kept connections. It runs on
// Explorer's display path: while a failure pause lasts it costs one clock reading.
#include <algorithm>

#include "common/decimal.h"
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

// How many connections may carry state requests at once. Explorer asks from a handful of
// threads (the views, the navigation pane, file dialogs); see README for the measurement.
constexpr int kDefaultStateConnections = 4;
constexpr int kMostStateConnections = 16;

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
        stateConnections_.setLimit(kDefaultStateConnections);
        try {
            retryTimeout_ = readTimeout(L"retry-timeout", kDefaultRetryTimeoutMs);
            stateShareTimeout_ =
                readTimeout(L"state-share-timeout", kDefaultStateShareTimeoutMs, kLongestStateShareTimeoutMs);
            stateConnections_.setLimit(readConnectionLimit(kDefaultStateConnections, kMostStateConnections));
        } catch (...) {
            // The defaults stay.
        }
    });
}

int Quorvane::readConnectionLimit(int fallback, int maximum) {
    const std::wstring text = readConfigValue(L"state-connections", false);
    if (text.empty()) return fallback;
    const std::optional<std::int32_t> value = parseDecimal(text);
    if (!value || *value < 1 || *value > maximum) {
        logger_->error(L"state-connections '" + clipForLog(text) + L"' is not a number from 1 to " +
                       int64ToText(maximum) + L"; keeping " + int64ToText(fallback));
        return fallback;
    }
    logger_->write(L"state-connections is " + int64ToText(*value));
    return *value;
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
            if (std::optional<std::wstring> shared = stateShare_.take(path, askerBit, GetTickCount64(), shareMs)) {
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
        if (shareMs > 0) stateShare_.remember(path, answer->state, answer->request, GetTickCount64(), shareMs);
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

std::uint64_t Quorvane::exchangeOnStateConnection(StateConnections::Connection& connection,
                                                  const std::vector<std::wstring>& arguments,
                                                  std::vector<std::wstring>& replies, Deadline deadline) {
    replies.clear();
    if (!connection.socket) connection.socket = openConnection(stateServerPort_);
    // The first request on a connection opened beside others may wait in a server's backlog.
    const FirstLine firstLine =
        !connection.answered && stateConnections_.count() > 1 ? FirstLine::MayNotCome : FirstLine::Expected;
    const std::uint64_t request = StateShare::nextTicket();
    try {
        exchangeRequest(L"get-states", arguments, *connection.socket, replies, deadline, firstLine);
    } catch (const NoReplyLine&) {
        connection.silent = !connection.answered;
        throw;
    }
    if (connection.socket->peerClosed()) {
        // The server went away: keeping the connection would only fail the next query. A reply
        // cut off before its first line is a failure, so that a new connection is tried now.
        connection.socket.reset();
        if (replies.empty()) throw TextError(L"connection closed by the state server");
    }
    connection.answered = true;
    return request;
}

// A server that serves one connection at a time accepts a second one into its backlog and
// answers it only when the first closes: a new connection's first reply line does not come while
// another connection is open. Then one connection serves the process from now on.
bool Quorvane::servesOneConnectionAtATime(const StateConnections::Connection& connection) {
    if (!connection.silent || stateConnections_.count() < 2) return false;
    if (stateConnections_.limitToOne())
        logger_->write(L"the state server answered no new connection while another was open: it serves one "
                       L"connection at a time, so states are asked on one connection from now on");
    return true;
}

std::optional<Quorvane::StateAnswer> Quorvane::queryState(const std::wstring& path) {
    // The query that finds out that the server serves one connection at a time is asked again
    // once, on the connection that works.
    for (int round = 0; round < 2; ++round) {
        bool askAgain = false;
        std::optional<StateAnswer> answer = queryWithOneRetry(path, askAgain);
        if (!askAgain) return answer;
    }
    return std::nullopt;
}

std::optional<Quorvane::StateAnswer> Quorvane::queryWithOneRetry(const std::wstring& path, bool& askAgain) {
    const std::vector<std::wstring> arguments = {path};
    std::vector<std::wstring> replies;
    // Waiting for a connection and both attempts share one bound, so a server that drips its
    // reply costs it once.
    const Deadline deadline = replyDeadline();
    StateConnections::Taken connection = stateConnections_.take(deadline);
    if (!connection) {
        logger_->error(L"get-states failed: no state-server connection became free within " +
                       int64ToText(replyBoundMs()) + L" ms");
        return std::nullopt;
    }
    // A thread may have failed twice and paused the queries while this one waited: asking again
    // would only repeat its failure.
    if (clock_() < statesDisabledUntil_) {
        stateConnections_.giveBack(std::move(connection));
        return std::nullopt;
    }
    std::int32_t asked = stateServerPort_.load();
    std::uint64_t request = 0;
    try {
        try {
            request = exchangeOnStateConnection(*connection, arguments, replies, deadline);
        } catch (const TextError& first) {
            // The stream is at an unknown point: only a new connection can be trusted.
            const bool oneAtATime = servesOneConnectionAtATime(*connection);
            stateConnections_.discard(std::move(connection));
            if (oneAtATime) {
                askAgain = true;
                return std::nullopt;
            }
            logger_->error(L"get-states failed: " + first.text());
            connection = stateConnections_.take(deadline, true);
            if (!connection) throw TextError(L"no state-server connection became free");
            request = exchangeOnStateConnection(*connection, arguments, replies, deadline);
        }
    } catch (const TextError& second) {
        stateConnections_.discard(std::move(connection));
        logger_->error(L"get-states failed again: " + second.text());
        logger_->error(L"disabling states for " + int64ToText(retryTimeout_) + L"ms");
        const bool late = dynamic_cast<const ReplyTimedOut*>(&second) != nullptr;
        reportMistakeOnce(late ? Mistake::TimedOut : Mistake::Refused, [&] {
            return L"Quorvane::getState states paused: get-states failed twice: " + second.text() +
                   (late ? L" (a server that works longer sends a wait marker \".\" within each receive time-out)" : L"");
        });
        pauseStates(clock_());
        dropStateConnection();
        // Run discovery again after the pause, unless another thread has already found the
        // server anew.
        stateServerPort_.compare_exchange_strong(asked, 0);
        return std::nullopt;
    } catch (...) {
        stateConnections_.discard(std::move(connection));
        logger_->error(L"get-states failed (unknown)");
        return std::nullopt;
    }
    stateConnections_.giveBack(std::move(connection));
    return StateAnswer{interpretStateReply(path, replies), request};
}

void Quorvane::checkStateKnown(const std::wstring& state, std::vector<std::wstring> (*knownStates)()) noexcept {
    if (mistakesReported_.load() & (1u << static_cast<std::uint32_t>(Mistake::UnknownState))) return;
    knownStatesRead_([&]() noexcept {
        try {
            knownStates_ = knownStates();
        } catch (...) {
            // Unknown ids: every state counts as known rather than as wrong.
        }
    });
    if (knownStates_.empty() || std::find(knownStates_.begin(), knownStates_.end(), state) != knownStates_.end()) return;
    reportMistakeOnce(Mistake::UnknownState, [&] {
        std::wstring ids;
        for (const std::wstring& id : knownStates_) ids += (ids.empty() ? L"'" : L", '") + id + L"'";
        return L"Quorvane::getState mistake of the application: the state '" + clipForLog(state) +
               L"' is no overlay class's id; the ids are " + ids + L" (matched exactly, letter case included)";
    });
}

std::wstring Quorvane::interpretStateReply(const std::wstring& path, const std::vector<std::wstring>& replies) {
    if (replies.empty()) return {};
    const std::wstring& line = replies.front();  // further lines are not looked at
    std::vector<std::wstring> tokens = splitTokens(line);
    if (tokens.size() == 2) {
        if (tokens[0] == path) return std::move(tokens[1]);
        reportMistakeOnce(Mistake::OtherPath, [&] {
            return L"Quorvane::getState mistake of the application: the reply to get-states for '" + clipForLog(path) +
                   L"' names '" + clipForLog(tokens[0]) + L"'; only the very path asked, letter case included, gives a state";
        });
        return {};
    }
    if (tokens.size() == 1 && tokens[0] == L"not applicable") {
        logger_->debug(L"received 'not applicable'");
        return {};
    }
    logger_->error(L"Expected two tokens for state line '" + clipForLog(line) + L"'.");
    return {};
}
