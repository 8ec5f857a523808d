#include "tools/appstub/server.h"

#include <chrono>

#include "common/decimal.h"
#include "common/text_error.h"
#include "wire/encoding.h"

namespace {

constexpr std::int32_t kNotifierWaitMs = 200;  // connecting on 127.0.0.1, and looking for its end
constexpr auto kAcceptorStopWait = std::chrono::seconds(3);
// An idle connection notices the stop at its next receive time-out.
constexpr auto kConnectionStopWait = std::chrono::milliseconds(LineSocket::kAcceptedReceiveTimeoutMs + 2000);

bool isReceiveTimeout(const TextError& error) {
    return error.text().rfind(L"recv failed (error " + std::to_wstring(WSAETIMEDOUT) + L")", 0) == 0;
}

void sendBytes(LineSocket& connection, const std::string& bytes) {
    for (std::size_t sent = 0; sent < bytes.size();) {
        const int n = send(connection.handle(), bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
        if (n == SOCKET_ERROR) throw TextError(socketFailure(L"send"));
        sent += static_cast<std::size_t>(n);
    }
}

// A line as the protocol encodes it, or (a fault) with characters above 0x7F as raw UTF-8.
std::string lineBytes(std::wstring_view line, bool rawUtf8) {
    if (!rawUtf8) return encodeLine(line);
    std::string bytes;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const bool pair = IS_HIGH_SURROGATE(line[i]) && i + 1 < line.size();
        const std::wstring_view unit = line.substr(i, pair ? 2 : 1);
        bytes += line[i] < 0x80 ? encodeLine(unit) : toUtf8(unit);
        i += pair ? 1 : 0;
    }
    return bytes;
}

// Every line with the stub's line end, in one send: separate small sends would each wait for
// the peer's delayed acknowledgement of the one before (Nagle), tens of milliseconds apiece.
void sendLines(LineSocket& connection, const std::vector<std::wstring_view>& lines, std::string_view lineEnd,
               bool rawUtf8 = false) {
    std::string bytes;
    for (std::wstring_view line : lines) {
        bytes += lineBytes(line, rawUtf8);
        bytes += lineEnd;
    }
    sendBytes(connection, bytes);
}

// Whether the notifier has closed the connection: it never sends anything, so anything to
// read is the end of the stream (or a reset).
bool closedByPeer(const LineSocket& connection) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(connection.handle(), &readable);
    timeval now = {0, 0};
    return select(0, &readable, nullptr, nullptr, &now) != 0;
}

std::optional<std::uint16_t> portFrom(const std::vector<std::wstring>& arguments) {
    const std::optional<std::int32_t> port = arguments.empty() ? std::nullopt : parseDecimal(arguments.front());
    if (!port || *port <= 0 || *port > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(*port);
}

// The future becomes ready when the body has returned (or thrown), so a thread can be joined
// without waiting on it for ever.
template <typename Body>
std::thread startThread(Body body, std::future<void>& finished) {
    std::packaged_task<void()> task(std::move(body));
    finished = task.get_future();
    return std::thread(std::move(task));
}

// Joins the thread once it has finished by the deadline; otherwise leaves it to the process end.
void joinBy(std::thread& thread, std::future<void>& finished, std::chrono::steady_clock::time_point deadline) noexcept {
    if (!thread.joinable()) return;
    if (finished.valid() && finished.wait_until(deadline) == std::future_status::ready)
        thread.join();
    else
        thread.detach();
}

}  // namespace

// --- NotifierLink ---

void NotifierLink::connect(std::uint16_t port) {
    std::lock_guard<std::mutex> lock(mutex_);
    port_ = port;
    reconnect();
}

bool NotifierLink::push(const std::vector<std::wstring>& paths) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt > 0 || !usable()) reconnect();
        if (!socket_) continue;
        try {
            sendLines(*socket_, std::vector<std::wstring_view>(paths.begin(), paths.end()), lineEnd_);
            return true;
        } catch (const TextError& e) {
            report(L"push to the notifier failed: " + e.text());
            socket_.reset();
        }
    }
    return false;
}

// A connection that the notifier has closed still takes the first write without complaint,
// so look for its end first, without waiting.
bool NotifierLink::usable() { return socket_ && !closedByPeer(*socket_); }

void NotifierLink::reconnect() {
    socket_.reset();
    if (port_ == 0) return;
    auto socket = std::make_unique<LineSocket>();
    try {
        socket->connectTo("127.0.0.1", port_, kNotifierWaitMs, kNotifierWaitMs);
        socket_ = std::move(socket);
    } catch (const TextError& e) {
        report(L"cannot reach the notifier at port " + std::to_wstring(port_) + L": " + e.text());
    }
}

// --- Stub ---

Stub::Stub(const StubSettings& settings)
    : faults_(settings.faults),
      lineEnd_(settings.crlf ? "\r\n" : "\n"),
      commandsFile_(settings.commandsFile),
      rules_(settings.rulesFile),
      journal_(settings.journalFile),
      notifier_(lineEnd_),
      stopEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (!stopEvent_) throw TextError(L"cannot create the stop event");
}

void Stub::requestStop() noexcept {
    stopping_ = true;
    SetEvent(stopEvent_.get());
}

void Stub::serve(LineSocket& connection) {
    try {
        if (faults_.byteOrderMark) sendBytes(connection, "\xEF\xBB\xBF");
        Request request;
        while (!stopRequested() && readRequest(connection, request)) {
            journal_.record(request.name, request.arguments);
            if (!answer(connection, request)) return;
        }
    } catch (const TextError& e) {
        if (!stopRequested()) report(L"connection ended: " + e.text());
    }
}

// Clients may keep a connection open and idle for long (the overlay handler does), so the
// receive time-out of an accepted connection only gives a chance to notice the stop.
std::wstring Stub::readLineWhileRunning(LineSocket& connection) {
    for (;;) {
        try {
            return connection.readLine();
        } catch (const TextError& e) {
            if (!isReceiveTimeout(e) || stopRequested()) throw;
        }
    }
}

// Name line, argument lines, empty line. An empty name line is the end of the stream (or a
// stray empty line, which no client sends): the connection is over.
bool Stub::readRequest(LineSocket& connection, Request& request) {
    request.name = readLineWhileRunning(connection);
    request.arguments.clear();
    if (request.name.empty()) return false;
    for (std::wstring line = readLineWhileRunning(connection); !line.empty(); line = readLineWhileRunning(connection))
        request.arguments.push_back(std::move(line));
    return true;
}

// Gives false when the connection is to be closed.
bool Stub::answer(LineSocket& connection, const Request& request) {
    if (request.name == L"get-states") return sendReply(connection, statesReply(request.arguments));
    if (request.name == L"get-commands") return sendReply(connection, readNonEmptyLines(commandsFile_));
    if (request.name == L"notify-started") {
        if (const auto port = portFrom(request.arguments))
            notifier_.connect(*port);
        else
            report(L"notify-started without a usable port");
        return true;
    }
    if (request.name == L"appstub-push") {
        if (notifier_.push(request.arguments))
            sendLines(connection, {L""}, lineEnd_);
        else
            sendLines(connection, {L"not delivered", L""}, lineEnd_);
        return true;
    }
    if (request.name == L"appstub-quit") {
        sendLines(connection, {L""}, lineEnd_);
        requestStop();
        return false;
    }
    return true;  // a command chosen in the menu: the journal entry is all it does here
}

std::vector<std::wstring> Stub::statesReply(const std::vector<std::wstring>& arguments) {
    if (arguments.empty()) return {L"not applicable"};
    const std::wstring& path = arguments.front();
    const std::optional<std::wstring> state = rules_.stateFor(path);
    if (faults_.malformed) return {path + L"\t" + state.value_or(L"none") + L"\tunexpected"};
    if (!state) return {L"not applicable"};
    std::wstring named = path;
    if (faults_.lowerCasePath) CharLowerBuffW(named.data(), static_cast<DWORD>(named.size()));
    return {named + L"\t" + *state};
}

bool Stub::sendReply(LineSocket& connection, const std::vector<std::wstring>& lines) {
    for (int i = 0; i < faults_.waitMarkers; ++i) {
        pause();
        sendLines(connection, {L"."}, lineEnd_);
    }
    pause();
    if (faults_.closeMidReply) {
        if (!lines.empty()) sendLines(connection, {lines.front()}, lineEnd_);
        return false;
    }
    std::vector<std::wstring_view> reply(lines.begin(), lines.end());
    reply.push_back(L"");
    sendLines(connection, reply, lineEnd_, faults_.rawUtf8);
    return !faults_.closeAfterReply;
}

// Cut short by the stop, so that a long delay never holds up the end.
void Stub::pause() const {
    if (faults_.delayMs > 0) WaitForSingleObject(stopEvent_.get(), static_cast<DWORD>(faults_.delayMs));
}

// --- Listener ---

std::uint16_t Listener::listenOnFreePort(std::uint16_t first) {
    for (std::uint32_t port = first; port < 65535; ++port) {
        try {
            socket_.listenLocal(static_cast<std::uint16_t>(port), SOMAXCONN);
            port_ = static_cast<std::uint16_t>(port);
            return port_;
        } catch (const TextError&) {
            // taken: try the next one
        }
    }
    throw TextError(L"no free port from " + std::to_wstring(first) + L" upward");
}

void Listener::start() {
    acceptor_.thread = startThread([this] { acceptConnections(); }, acceptor_.finished);
}

void Listener::stop() noexcept {
    if (acceptor_.thread.joinable()) {
        wakeAcceptingThread();
        joinBy(acceptor_.thread, acceptor_.finished, std::chrono::steady_clock::now() + kAcceptorStopWait);
    }
    std::list<Worker> workers;
    {
        std::lock_guard<std::mutex> lock(workersMutex_);
        workers.swap(workers_);
    }
    const auto deadline = std::chrono::steady_clock::now() + kConnectionStopWait;
    for (Worker& worker : workers) joinBy(worker.thread, worker.finished, deadline);
}

void Listener::acceptConnections() {
    try {
        while (!stub_.stopRequested()) {
            std::unique_ptr<LineSocket> connection = socket_.acceptConnection();
            if (!connection || stub_.stopRequested()) continue;
            if (stub_.servesOneConnectionAtATime()) {
                stub_.serve(*connection);  // the others wait in the backlog meanwhile
                continue;
            }
            joinFinishedWorkers();
            startWorker(std::move(connection));
        }
    } catch (const TextError& e) {
        report(L"accepting on port " + std::to_wstring(port_) + L" failed: " + e.text());
    }
    socket_.close();
}

void Listener::startWorker(std::unique_ptr<LineSocket> connection) {
    std::lock_guard<std::mutex> lock(workersMutex_);
    Worker& worker = workers_.emplace_back();
    worker.thread = startThread(
        [this, connection = std::move(connection)] {
            stub_.serve(*connection);
            connection->close();
        },
        worker.finished);
}

void Listener::joinFinishedWorkers() {
    std::lock_guard<std::mutex> lock(workersMutex_);
    for (auto it = workers_.begin(); it != workers_.end();) {
        if (it->finished.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
            ++it;
            continue;
        }
        it->thread.join();
        it = workers_.erase(it);
    }
}

// accept() has no time-out: a connection of our own lets the accepting thread see the stop.
void Listener::wakeAcceptingThread() noexcept {
    try {
        LineSocket wake;
        wake.connectTo("127.0.0.1", port_, 1000, 1000);
    } catch (const TextError&) {
        // the thread has ended already, or is left to the process end
    }
}
