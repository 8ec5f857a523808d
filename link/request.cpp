// The application link's object and the three operations all traffic passes through.
#include <algorithm>

#include "common/decimal.h"
#include "common/log_text.h"
#include "common/settings.h"
#include "common/text_error.h"
#include "link/quorvane.h"
#include "notifier/tavrel_runner.h"
#include "wire/encoding.h"
#include "wire/line_socket.h"

namespace {

std::wstring requestLabel(const std::wstring& name, const std::vector<std::wstring>& arguments) {
    return arguments.size() == 1 ? name + L": " + arguments.front() : name;
}

bool isWaitMarker(const std::wstring& trimmed) { return trimmed.empty() || trimmed == L"."; }

}  // namespace

Quorvane::Quorvane() {
    socketLogging_ = readConfigSwitch(L"socket-logging");
    debugLogging_ = readConfigSwitch(L"debug-logging") || socketLogging_;
    logger_ = std::make_unique<Logger>(debugLogging_);
    runner_ = std::make_unique<TavrelRunner>(*logger_);
}

Quorvane::~Quorvane() {
    dropStateConnection();
    runner_.reset();  // it refers to the Logger
}

std::int32_t Quorvane::readTimeout(const wchar_t* valueName, std::int32_t fallback, std::int32_t maximum) {
    const std::wstring text = readConfigValue(valueName, false);
    if (text.empty()) return fallback;
    const std::optional<std::int32_t> value = parseDecimal(text);
    if (!value) {
        logger_->error(std::wstring(valueName) + L" '" + clipForLog(text) + L"' is not a 32-bit decimal number; keeping " +
                       int64ToText(fallback));
        return fallback;
    }
    const std::int32_t ms = std::clamp(*value, 0, maximum);
    logger_->write(std::wstring(valueName) + L" is " + int64ToText(ms));
    return ms;
}

void Quorvane::readTimeoutsOnce() {
    timeoutsRead_([this]() noexcept {
        // A value that cannot even be read or logged (no memory) leaves the default.
        receiveTimeout_ = kDefaultReceiveTimeoutMs;
        sendTimeout_ = kDefaultSendTimeoutMs;
        try {
            receiveTimeout_ = readTimeout(L"recv-timeout", kDefaultReceiveTimeoutMs);
            sendTimeout_ = readTimeout(L"send-timeout", kDefaultSendTimeoutMs);
        } catch (...) {
        }
    });
}

std::unique_ptr<LineSocket> Quorvane::openConnection(Port& port) {
    std::int32_t tried = port.load();
    try {
        readTimeoutsOnce();
        auto connection = std::make_unique<LineSocket>();
        connection->connectTo("127.0.0.1", static_cast<std::uint16_t>(tried), receiveTimeout_, sendTimeout_);
        return connection;
    } catch (...) {
        port.compare_exchange_strong(tried, 0);
        throw;
    }
}

void Quorvane::sendRequest(const std::wstring& name, const std::vector<std::wstring>& arguments,
                           LineSocket& connection, Deadline deadline) {
    std::vector<std::wstring_view> lines;
    lines.reserve(arguments.size() + 2);
    lines.push_back(name);
    lines.insert(lines.end(), arguments.begin(), arguments.end());
    lines.push_back(L"");
    connection.writeLines(lines, deadline);
}

std::int32_t Quorvane::replyBoundMs() {
    readTimeoutsOnce();
    const std::int32_t perLine = receiveTimeout_ > 0 ? receiveTimeout_.load() : kDefaultReceiveTimeoutMs;
    constexpr std::int64_t kLines = kMaxWaitMarkers + 1;
    return static_cast<std::int32_t>(std::min<std::int64_t>(kLines * perLine, INT32_MAX));
}

// Each line (a wait marker too) within one receive time-out, the whole reply by the deadline,
// and no more lines and characters than a real reply has.
std::wstring Quorvane::readReplyLine(LineSocket& connection, const std::wstring& name, Deadline deadline,
                                     ReplySize& size, FirstLine firstLine) {
    const std::int32_t perLineMs = receiveTimeout_;
    // Just short of the receive time-out, the wait is select's, whose end is told apart from a
    // failure of recv.
    const std::int32_t waitMs = firstLine == FirstLine::MayNotCome && size.lines == 0 && perLineMs > 1 ? perLineMs - 1 : perLineMs;
    const Deadline lineDeadline = perLineMs > 0 ? std::min(deadline, GetTickCount64() + waitMs) : deadline;
    try {
        std::wstring line = connection.readLine(lineDeadline);
        if (++size.lines > kMaxReplyLines || (size.characters += line.size()) > kMaxReplyCharacters)
            throw TextError(L"reply to " + name + L" longer than " + int64ToText(kMaxReplyLines) + L" lines or " +
                            int64ToText(kMaxReplyCharacters) + L" characters");
        return line;
    } catch (const DeadlinePassed&) {
        if (lineDeadline < deadline) {
            std::wstring text = L"a line of the reply to " + name + L" took longer than " + int64ToText(perLineMs) + L" ms";
            if (size.lines == 0) throw NoReplyLine(std::move(text));
            throw ReplyTimedOut(std::move(text));
        }
        throw ReplyTimedOut(L"reply to " + name + L" not complete within " + int64ToText(replyBoundMs()) + L" ms");
    }
}

void Quorvane::exchangeRequest(const std::wstring& name, const std::vector<std::wstring>& arguments,
                               LineSocket& connection, std::vector<std::wstring>& replies, Deadline deadline,
                               FirstLine firstLine) {
    if (deadline == 0) deadline = replyDeadline();
    const std::wstring label = requestLabel(name, arguments);
    if (socketLogging_) logger_->write(L"OUT: " + label);
    sendRequest(name, arguments, connection, deadline);
    int waitMarkers = 0;
    int loggedWaitMarkers = 0;
    ReplySize size;
    const auto nextLine = [&] { return readReplyLine(connection, name, deadline, size, firstLine); };
    for (std::wstring line = nextLine(); !line.empty(); line = nextLine()) {
        if (socketLogging_) logger_->write(L"IN: " + clipForLog(line) + L" [for " + label + L"]");
        std::wstring trimmed = trimBlanks(line);
        if (!isWaitMarker(trimmed)) {
            replies.push_back(std::move(trimmed));
            waitMarkers = 0;
            continue;
        }
        if (waitMarkers >= kMaxWaitMarkers) throw TextError(L"stopped waiting for " + name);
        // As many as one slow reply has: a peer that mixes markers into an endless reply must
        // not write a line for each.
        if (++loggedWaitMarkers <= kMaxWaitMarkers) logger_->write(label + L" <waiting>");
        ++waitMarkers;
    }
    if (socketLogging_) logger_->write(L"DONE: " + label);
    if (!connection.foreignBytesSeen().empty())
        reportMistakeOnce(Mistake::ForeignBytes, [&] {
            return L"Quorvane::exchangeRequest mistake of the application: a line of the reply to " + name + L" held " +
                   connection.foreignBytesSeen() + L"; lines are 7-bit ASCII, each UTF-16 unit above 0x7F as \\uXXXX";
        });
}

void Quorvane::postRequest(const std::wstring& name, const std::vector<std::wstring>& arguments,
                           LineSocket& connection) noexcept {
    try {
        logger_->debug(L"send command: " + name);
        sendRequest(name, arguments, connection, replyDeadline());
    } catch (const TextError& e) {
        logger_->error(L"Error while sending commands: " + e.text());
    } catch (...) {
        logger_->error(L"Error while sending commands (unknown)");
    }
}

void Quorvane::dropStateConnection() noexcept { stateConnections_.closeIdle(); }
