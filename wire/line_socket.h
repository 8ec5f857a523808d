#pragma once
// TCP connections that carry protocol lines: the client side (connect with a bounded wait and
// fixed time-outs) and the listening side on 127.0.0.1. Every failure is thrown as a TextError.
#include <winsock2.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/text_error.h"
#include "wire/line_buffer.h"

// Starts Windows Sockets once per module, however many threads construct sockets at once,
// and cleans it up when the module goes away.
class WinsockGuard {
public:
    constexpr WinsockGuard() noexcept = default;
    ~WinsockGuard();
    WinsockGuard(const WinsockGuard&) = delete;
    WinsockGuard& operator=(const WinsockGuard&) = delete;

    // Returns once the start-up has completed (on whichever thread ran it). The start-up is
    // written to the trace log, unless the first acquisition asks for it to go unrecorded: a
    // tool that only looks at an installation must not create or change the log.
    enum class StartRecord { Logged, Unlogged };
    void acquire(StartRecord record = StartRecord::Logged) noexcept;
    std::int32_t acquisitions() const noexcept { return count_.load(); }
    // The process is ending: Windows Sockets goes with it, and cleaning up from the loader's
    // detach notification at that point can hang the exit.
    void skipCleanup() noexcept { skipCleanup_ = true; }

private:
    std::atomic<std::int32_t> count_{0};
    std::atomic<bool> skipCleanup_{false};
    INIT_ONCE once_ = INIT_ONCE_STATIC_INIT;
};

WinsockGuard& winsockGuard() noexcept;

// "<call> failed (error N): <text>" for the calling thread's last Windows Sockets error.
std::wstring socketFailure(std::wstring_view call);

// A failed socket call, with its Windows Sockets error code.
class SocketFailure : public TextError {
public:
    SocketFailure(std::wstring text, int code) : TextError(std::move(text)), code_(code) {}
    int code() const noexcept { return code_; }

private:
    int code_;
};

// The point on GetTickCount64's clock by which a whole reply must have arrived: a peer that
// keeps sending (lines, or a byte now and then) is bounded by it, not only by each recv's
// time-out.
using Deadline = std::uint64_t;
inline constexpr Deadline kNoDeadline = ~Deadline{0};

// Thrown by readLine when the deadline passes; the caller knows what was late and says so.
class DeadlinePassed : public TextError {
public:
    DeadlinePassed() : TextError(L"deadline passed") {}
};

class LineSocket {
public:
    // Receive time-out given to every accepted connection, so that a silent peer cannot hold
    // the listener's only serving thread.
    static constexpr std::int32_t kAcceptedReceiveTimeoutMs = 5000;
    static constexpr std::size_t kMaxLineBytes = LineBuffer::kMaxLineBytes;

    LineSocket() noexcept;
    ~LineSocket();
    LineSocket(const LineSocket&) = delete;
    LineSocket& operator=(const LineSocket&) = delete;

    // Connects within receiveMs (the wait for the connection), then sets both time-outs.
    void connectTo(const std::string& host, std::uint16_t port, std::int32_t receiveMs, std::int32_t sendMs);

    // One line without its end (LF, CR or CR LF). At the end of the stream: the bytes that
    // came before it, then empty lines. Bytes after a line end stay for the next call.
    // Throws DeadlinePassed when the line is not complete by the deadline, also when the receive
    // time-out runs out first.
    std::wstring readLine(Deadline deadline = kNoDeadline);
    // For a caller that waits for several sockets itself: one recv (blocking only when nothing
    // has arrived), then the complete lines it brought, one call each, until none is left.
    // Larger blocks suit a caller that pays for a wait (select) before every recv.
    static constexpr std::size_t kReceiveBlock = 4096;
    void receiveAvailable(std::size_t atMost = kReceiveBlock);
    std::optional<std::wstring> bufferedLine();

    // Sends the encoded line and its LF with one send.
    void writeLine(std::wstring_view line);
    // Sends several lines with one send: a request split over several small sends would wait
    // for the peer's delayed acknowledgement of the first (Nagle), tens of milliseconds. With a
    // deadline, lines too many for one send go out in pieces as the peer takes them, all of
    // them by the deadline, or the call fails as a send time-out does.
    void writeLines(const std::vector<std::wstring_view>& lines, Deadline deadline = kNoDeadline);

    void close() noexcept;
    bool isOpen() const noexcept { return socket_ != INVALID_SOCKET; }
    SOCKET handle() const noexcept { return socket_; }
    // The peer has closed its side: every later read gives an empty line.
    bool peerClosed() const noexcept { return received_.ended(); }
    // What the first received line that a conforming sender would not send held (a byte order
    // mark, raw bytes above 0x7F), or empty; such lines are decoded all the same.
    const std::wstring& foreignBytesSeen() const noexcept { return received_.foreignBytesSeen(); }

    // Listens on 127.0.0.1:port; throws "INVALID_SOCKET" when the port cannot be bound. A
    // non-blocking listener never waits in accept: a peer that connected and went away again
    // between select and accept leaves nothing to wait for.
    enum class Accepting { Blocking, NonBlocking };
    void listenLocal(std::uint16_t port, int backlog, Accepting accepting = Accepting::Blocking);
    // The next connection (blocking in its reads and writes, whatever the listener is). None
    // when there was nothing to accept after all: a non-blocking listener's would-block, or a
    // connection reset or aborted before it was taken; skippedError then says which. Throws
    // only when the listener itself fails.
    std::unique_ptr<LineSocket> acceptConnection(int* skippedError = nullptr);

    static std::wstring localHostName();

private:
    explicit LineSocket(SOCKET accepted) noexcept;
    void setOption(int option, std::int32_t milliseconds);
    // Up to this many bytes fit into a connection's empty send buffer (the smallest that Windows
    // gives a socket), so that one blocking send takes them at once: a peer that answers
    // requests has read all that came before.
    static constexpr std::size_t kOneSendBytes = 8192;
    void sendAll(const std::string& bytes);
    void sendByDeadline(std::string_view bytes, Deadline deadline);
    void waitWritable(Deadline deadline);
    void waitReadable(Deadline deadline);

    SOCKET socket_ = INVALID_SOCKET;
    std::int32_t receiveTimeoutMs_ = 0;  // 0: each recv may wait for ever
    LineBuffer received_;  // bytes received but not yet returned as lines
};
