// The application link's object and the three operations all traffic passes through.
#include "common/decimal.h"
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

std::int32_t Quorvane::readTimeout(const wchar_t* valueName, std::int32_t fallback) {
    const std::wstring text = readConfigValue(valueName, false);
    if (text.empty()) return fallback;
    const std::optional<std::int32_t> value = parseDecimal(text);
    if (!value) {
        logger_->error(std::wstring(valueName) + L" '" + text + L"' is not a 32-bit decimal number; keeping " +
                       int64ToText(fallback));
        return fallback;
    }
    const std::int32_t ms = *value < 0 ? 0 : *value;
    logger_->write(std::wstring(valueName) + L" is " + int64ToText(ms));
    return ms;
}

void Quorvane::readTimeoutsOnce() {
    std::call_once(timeoutsRead_, [this] {
        receiveTimeout_ = readTimeout(L"recv-timeout", kDefaultReceiveTimeoutMs);
        sendTimeout_ = readTimeout(L"send-timeout", kDefaultSendTimeoutMs);
    });
}

std::unique_ptr<LineSocket> Quorvane::openConnection(Port& port) {
    try {
        readTimeoutsOnce();
        auto connection = std::make_unique<LineSocket>();
        connection->connectTo("127.0.0.1", static_cast<std::uint16_t>(port.load()), receiveTimeout_, sendTimeout_);
        return connection;
    } catch (...) {
        port = 0;
        throw;
    }
}

void Quorvane::sendRequest(const std::wstring& name, const std::vector<std::wstring>& arguments,
                           LineSocket& connection) {
    std::vector<std::wstring_view> lines;
    lines.reserve(arguments.size() + 2);
    lines.push_back(name);
    lines.insert(lines.end(), arguments.begin(), arguments.end());
    lines.push_back(L"");
    connection.writeLines(lines);
}

void Quorvane::exchangeRequest(const std::wstring& name, const std::vector<std::wstring>& arguments,
                               LineSocket& connection, std::vector<std::wstring>& replies) {
    const std::wstring label = requestLabel(name, arguments);
    if (socketLogging_) logger_->write(L"OUT: " + label);
    sendRequest(name, arguments, connection);
    int waitMarkers = 0;
    for (std::wstring line = connection.readLine(); !line.empty(); line = connection.readLine()) {
        if (socketLogging_) logger_->write(L"IN: " + line + L" [for " + label + L"]");
        std::wstring trimmed = trimBlanks(line);
        if (!isWaitMarker(trimmed)) {
            replies.push_back(std::move(trimmed));
            waitMarkers = 0;
            continue;
        }
        if (waitMarkers >= kMaxWaitMarkers) throw TextError(L"stopped waiting for " + name);
        logger_->write(label + L" <waiting>");
        ++waitMarkers;
    }
    if (socketLogging_) logger_->write(L"DONE: " + label);
}

void Quorvane::postRequest(const std::wstring& name, const std::vector<std::wstring>& arguments,
                           LineSocket& connection) noexcept {
    try {
        logger_->debug(L"send command: " + name);
        sendRequest(name, arguments, connection);
    } catch (const TextError& e) {
        logger_->error(L"Error while sending commands: " + e.text());
    } catch (...) {
        logger_->error(L"Error while sending commands (unknown)");
    }
}

void Quorvane::dropStateConnection() noexcept { stateConnection_.reset(); }
