#pragma once
// What the stand-in answers on its servers, and the listening side that serves each
// connection on a thread of its own.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <future>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/handles.h"
#include "tools/appstub/files.h"
#include "wire/line_socket.h"

// Misbehaviour on purpose, for the clients' failure paths.
struct Faults {
    int waitMarkers = 0;        // "." lines before each reply
    int delayMs = 0;            // pause before each wait marker and before the reply
    bool closeMidReply = false; // first reply line, then the connection is closed
    bool malformed = false;     // get-states answers with three tokens
    bool oneConnectionAtATime = false;  // the next connection is accepted when the last one ends
    // Mistakes an application can make, each one for the checks that must name it.
    bool rawUtf8 = false;          // characters above 0x7F sent as raw UTF-8, not \uXXXX
    bool byteOrderMark = false;    // a UTF-8 byte order mark starts every connection's stream
    bool lowerCasePath = false;    // get-states names the path in lower case
    bool closeAfterReply = false;  // every connection is closed after one reply
};

struct StubSettings {
    std::wstring rulesFile;
    std::wstring commandsFile;
    std::wstring journalFile;
    Faults faults;
    bool crlf = false;  // every line sent ends with CR LF instead of LF, as some applications do
};

struct Request {
    std::wstring name;
    std::vector<std::wstring> arguments;
};

// The one connection to the notifier that changed paths are pushed on, kept between pushes
// as an application keeps it.
class NotifierLink {
public:
    explicit NotifierLink(std::string_view lineEnd) : lineEnd_(lineEnd) {}
    void connect(std::uint16_t port);
    bool push(const std::vector<std::wstring>& paths);

private:
    bool usable();
    void reconnect();

    const std::string_view lineEnd_;
    std::mutex mutex_;
    std::uint16_t port_ = 0;
    std::unique_ptr<LineSocket> socket_;
};

// The requests of both servers; shared by all connection threads.
class Stub {
public:
    explicit Stub(const StubSettings& settings);

    // Serves requests until the peer closes, the stub stops, or a fault ends the connection.
    void serve(LineSocket& connection);

    void requestStop() noexcept;
    bool stopRequested() const noexcept { return stopping_.load(); }
    bool servesOneConnectionAtATime() const noexcept { return faults_.oneConnectionAtATime; }
    HANDLE stopEvent() const noexcept { return stopEvent_.get(); }

private:
    std::wstring readLineWhileRunning(LineSocket& connection);
    bool readRequest(LineSocket& connection, Request& request);
    bool answer(LineSocket& connection, const Request& request);
    bool sendReply(LineSocket& connection, const std::vector<std::wstring>& lines);
    std::vector<std::wstring> statesReply(const std::vector<std::wstring>& arguments);
    void pause() const;

    const Faults faults_;
    const std::string_view lineEnd_;
    const std::wstring commandsFile_;
    RulesFile rules_;
    Journal journal_;
    NotifierLink notifier_;
    KernelHandle stopEvent_;
    std::atomic<bool> stopping_{false};
};

// One listening socket on 127.0.0.1, its accepting thread and one thread per connection.
class Listener {
public:
    explicit Listener(Stub& stub) : stub_(stub) {}
    ~Listener() { stop(); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // Tries ports upward from the first one; throws TextError when none is free.
    std::uint16_t listenOnFreePort(std::uint16_t first);
    void start();
    // Before start only: the port then refuses connections.
    void refuse() noexcept { socket_.close(); }
    // Ends accepting and waits, bounded, for the connections to end.
    void stop() noexcept;

private:
    struct Worker {
        std::thread thread;
        std::future<void> finished;
    };

    void acceptConnections();
    void startWorker(std::unique_ptr<LineSocket> connection);
    void joinFinishedWorkers();
    void wakeAcceptingThread() noexcept;

    Stub& stub_;
    LineSocket socket_;
    std::uint16_t port_ = 0;
    Worker acceptor_;
    std::mutex workersMutex_;
    std::list<Worker> workers_;
};
