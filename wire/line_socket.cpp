#include "wire/line_socket.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <cwchar>
#include <utility>

#include "common/log.h"
#include "common/text_error.h"
#include "wire/encoding.h"

namespace {

WinsockGuard g_winsockGuard;

BOOL CALLBACK startWinsock(PINIT_ONCE, PVOID record, PVOID*) {
    WSADATA data;
    const bool started = WSAStartup(MAKEWORD(2, 0), &data) == 0;
    if (*static_cast<WinsockGuard::StartRecord*>(record) == WinsockGuard::StartRecord::Logged)
        appendLogLine(started ? L"Initializing WSA succeeded" : L"Initializing WSA failed");
    return TRUE;
}

[[noreturn]] void throwSocketFailure(std::wstring_view call) {
    const int code = WSAGetLastError();
    throw SocketFailure(socketFailure(call), code);
}

timeval toTimeval(std::int32_t ms) {
    timeval tv;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (static_cast<long>(ms) % 1000) * 1000;
    return tv;
}

}  // namespace

WinsockGuard::~WinsockGuard() {
    if (count_.load() > 0 && !skipCleanup_) WSACleanup();
}

void WinsockGuard::acquire(StartRecord record) noexcept {
    ++count_;
    InitOnceExecuteOnce(&once_, startWinsock, &record, nullptr);
}

WinsockGuard& winsockGuard() noexcept { return g_winsockGuard; }

std::wstring socketFailure(std::wstring_view call) {
    const int error = WSAGetLastError();
    wchar_t text[2048] = {};
    _wcserror_s(text, 2048, error);
    return std::wstring(call) + L" failed (error " + std::to_wstring(error) + L"): " + text;
}

LineSocket::LineSocket() noexcept { winsockGuard().acquire(); }

LineSocket::LineSocket(SOCKET accepted) noexcept : socket_(accepted) { winsockGuard().acquire(); }

LineSocket::~LineSocket() { close(); }

void LineSocket::close() noexcept {
    if (socket_ != INVALID_SOCKET) closesocket(std::exchange(socket_, INVALID_SOCKET));
    received_.clear();
}

void LineSocket::setOption(int option, std::int32_t milliseconds) {
    const DWORD value = static_cast<DWORD>(milliseconds);
    if (setsockopt(socket_, SOL_SOCKET, option, reinterpret_cast<const char*>(&value), sizeof value) != 0)
        throwSocketFailure(L"setsockopt");
}

void LineSocket::connectTo(const std::string& host, std::uint16_t port, std::int32_t receiveMs,
                           std::int32_t sendMs) {
    close();
    socket_ = socket(AF_INET, SOCK_STREAM, 0);
    if (socket_ == INVALID_SOCKET) throw TextError(L"INVALID_SOCKET");
    const hostent* entry = gethostbyname(host.c_str());
    if (!entry || !entry->h_addr_list || !entry->h_addr_list[0]) throwSocketFailure(L"gethostbyname");
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    std::memcpy(&address.sin_addr, entry->h_addr_list[0], sizeof address.sin_addr);

    u_long nonBlocking = 1;
    ioctlsocket(socket_, FIONBIO, &nonBlocking);
    if (connect(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
        WSAGetLastError() != WSAEWOULDBLOCK)
        throwSocketFailure(L"connect");
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(socket_, &writable);
    timeval wait = toTimeval(receiveMs);
    if (select(0, nullptr, &writable, nullptr, &wait) == SOCKET_ERROR) throwSocketFailure(L"connect/select");
    if (!FD_ISSET(socket_, &writable)) throw TextError(L"connect/select timed out");
    nonBlocking = 0;
    ioctlsocket(socket_, FIONBIO, &nonBlocking);
    setOption(SO_RCVTIMEO, receiveMs);
    setOption(SO_SNDTIMEO, sendMs);
    receiveTimeoutMs_ = receiveMs;
}

std::wstring LineSocket::readLine(Deadline deadline) {
    for (;;) {
        if (std::optional<std::wstring> line = bufferedLine()) return std::move(*line);
        waitReadable(deadline);
        try {
            receiveAvailable();
        } catch (const SocketFailure& e) {
            // waitReadable left the wait to the receive time-out: the line is late all the same.
            if (deadline != kNoDeadline && e.code() == WSAETIMEDOUT) throw DeadlinePassed();
            throw;
        }
    }
}

std::optional<std::wstring> LineSocket::bufferedLine() { return received_.nextLine(); }

// The recv time-out bounds each wait while the deadline is further away than it; closer to
// the deadline (or without a recv time-out) select waits only for what is left.
void LineSocket::waitReadable(Deadline deadline) {
    if (deadline == kNoDeadline) return;
    const std::uint64_t now = GetTickCount64();
    if (now >= deadline) throw DeadlinePassed();
    const std::uint64_t left = deadline - now;
    if (receiveTimeoutMs_ > 0 && left >= static_cast<std::uint64_t>(receiveTimeoutMs_)) return;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket_, &readable);
    timeval wait = toTimeval(static_cast<std::int32_t>(left));
    const int ready = select(0, &readable, nullptr, nullptr, &wait);
    if (ready == SOCKET_ERROR) throwSocketFailure(L"select");
    if (ready == 0) throw DeadlinePassed();
}

void LineSocket::receiveAvailable(std::size_t atMost) {
    const int got = recv(socket_, received_.space(atMost), static_cast<int>(atMost), 0);
    received_.received(got > 0 ? static_cast<std::size_t>(got) : 0);
    if (got == SOCKET_ERROR) throwSocketFailure(L"recv");
    if (got < 0) throw TextError(L"recv returned unknown value " + std::to_wstring(got));
    if (got == 0) received_.endOfStream();
}

void LineSocket::writeLine(std::wstring_view line) { writeLines({line}); }

void LineSocket::writeLines(const std::vector<std::wstring_view>& lines, Deadline deadline) {
    std::string bytes;
    for (std::wstring_view line : lines) {
        bytes += encodeLine(line);
        bytes += '\n';
    }
    if (deadline == kNoDeadline || bytes.size() <= kOneSendBytes)
        sendAll(bytes);
    else
        sendByDeadline(bytes, deadline);
}

// Without blocking, so that no single send can outlast the deadline (a blocking send's own
// time-out is not kept everywhere); each wait for room only as long as the deadline allows.
void LineSocket::sendByDeadline(std::string_view bytes, Deadline deadline) {
    u_long nonBlocking = 1;
    if (ioctlsocket(socket_, FIONBIO, &nonBlocking) != 0) throwSocketFailure(L"ioctlsocket");
    struct BlockingAgain {
        SOCKET socket;
        ~BlockingAgain() {
            u_long blocking = 0;
            ioctlsocket(socket, FIONBIO, &blocking);
        }
    } blockingAgain{socket_};
    while (!bytes.empty()) {
        const int piece = static_cast<int>(std::min<std::size_t>(bytes.size(), INT_MAX));
        const int sent = send(socket_, bytes.data(), piece, 0);
        if (sent > 0)
            bytes.remove_prefix(static_cast<std::size_t>(sent));
        else if (sent == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK)
            waitWritable(deadline);
        else
            throwSocketFailure(L"send");
    }
}

void LineSocket::waitWritable(Deadline deadline) {
    const std::uint64_t now = GetTickCount64();
    int ready = 0;
    if (now < deadline) {
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(socket_, &writable);
        timeval wait = toTimeval(static_cast<std::int32_t>(std::min<std::uint64_t>(deadline - now, INT32_MAX)));
        ready = select(0, nullptr, &writable, nullptr, &wait);
        if (ready == SOCKET_ERROR) throwSocketFailure(L"send/select");
    }
    if (ready == 0) {
        WSASetLastError(WSAETIMEDOUT);
        throwSocketFailure(L"send");
    }
}

void LineSocket::sendAll(const std::string& bytes) {
    const int length = static_cast<int>(bytes.size());
    const int sent = send(socket_, bytes.data(), length, 0);
    if (sent == SOCKET_ERROR) throwSocketFailure(L"send");
    if (sent != length)
        throw TextError(L"only " + std::to_wstring(sent) + L" of " + std::to_wstring(length) +
                        L" bytes have been sent");
}

std::wstring LineSocket::localHostName() {
    char name[256] = {};
    if (gethostname(name, 255) != 0) throwSocketFailure(L"gethostbyname");
    return decodeLine(name);
}

void LineSocket::listenLocal(std::uint16_t port, int backlog, Accepting accepting) {
    close();
    socket_ = socket(AF_INET, SOCK_STREAM, 0);
    if (socket_ == INVALID_SOCKET) throw TextError(L"INVALID_SOCKET");
    // Nobody else may bind the same port beside us and take our connections.
    BOOL exclusive = TRUE;
    setsockopt(socket_, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
               sizeof exclusive);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    if (bind(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close();
        throw TextError(L"INVALID_SOCKET");
    }
    listen(socket_, backlog);
    u_long nonBlocking = accepting == Accepting::NonBlocking;
    if (nonBlocking && ioctlsocket(socket_, FIONBIO, &nonBlocking) != 0) throwSocketFailure(L"ioctlsocket");
}

namespace {

// What one peer did, or a momentary shortage: the listener itself is fine.
bool isSkippableAcceptError(int error) {
    switch (error) {
        case WSAEWOULDBLOCK: case WSAECONNRESET: case WSAECONNABORTED: case WSAEINTR: case WSAEINPROGRESS:
        case WSAEMFILE: case WSAENOBUFS: return true;
        default: return false;
    }
}

}  // namespace

std::unique_ptr<LineSocket> LineSocket::acceptConnection(int* skippedError) {
    const SOCKET accepted = accept(socket_, nullptr, nullptr);
    if (accepted == INVALID_SOCKET) {
        const int error = WSAGetLastError();
        if (!isSkippableAcceptError(error)) throwSocketFailure(L"accept");
        if (skippedError) *skippedError = error;
        return nullptr;
    }
    std::unique_ptr<LineSocket> connection(new LineSocket(accepted));
    u_long blocking = 0;  // an accepted socket inherits the listener's mode
    ioctlsocket(accepted, FIONBIO, &blocking);
    connection->setOption(SO_RCVTIMEO, kAcceptedReceiveTimeoutMs);
    connection->receiveTimeoutMs_ = kAcceptedReceiveTimeoutMs;
    return connection;
}
