// A scripted server on 127.0.0.1 for network tests. Each accepted connection
// runs the next queued script (steps: await the request, send bytes, pause,
// wait for the test, close, reset, stay silent) and records every byte the
// client sent. Every wait inside is bounded; the destructor ends all connections.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/socket_shim.h"

namespace zefo::test {

class Script {
  public:
    // Reads until the request head has ended (an empty line), at most 5 s; on a
    // connection kept open, the n-th of these waits for the n-th request.
    Script& AwaitRequest();
    Script& Send(std::string bytes);
    // Sends `bytes` in pieces of `pieceSize` with `pauseMs` between them.
    Script& SendInPieces(const std::string& bytes, size_t pieceSize, int pauseMs);
    Script& Pause(int milliseconds);
    // Lets WaitForMark(id) return.
    Script& Mark(int id);
    // Waits until the test calls OpenGate(id) (at most 20 s).
    Script& AwaitGate(int id);
    // Ends the stream in order and waits (at most 5 s) for the client to close.
    Script& Close();
    // Closes at once with a reset.
    Script& Reset();
    // Ends the stream and closes at once, as a server does with an idle connection it kept open.
    Script& Hangup();
    // Sends nothing more and keeps the connection until the client closes it or the server stops.
    Script& StaySilent();

    struct Step {
        enum Kind { AwaitRequest, Send, Pause, Mark, AwaitGate, Close, Reset, Hangup, StaySilent } kind;
        std::string bytes;
        int number = 0;
    };
    const std::vector<Step>& steps() const { return steps_; }

  private:
    std::vector<Step> steps_;
};

// Canned replies.
std::string HttpResponse(const std::string& statusLine,
                         const std::vector<std::string>& headers,
                         const std::string& body);
// The body in the chunked transfer coding, with the final zero-size chunk unless `finish` is false.
std::string ChunkedBody(const std::vector<std::string>& chunks, bool finish = true);
// A list reply: an HTTP/1.0 200 head and "[data]" + block + "[/data]".
std::string ListReply(const std::string& block);

class ScriptedServer {
  public:
    // Listens on 127.0.0.1 at `port`, or at a free port when it is 0.
    explicit ScriptedServer(uint16_t port = 0);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    // False when the port could not be taken.
    bool listening() const { return listener_ != shim::kInvalid; }
    uint16_t port() const { return port_; }
    // "127.0.0.1:<port>", the form of a server text.
    std::string Host() const;
    // "http://127.0.0.1:<port>/" + path.
    std::string Url(const std::string& path) const;

    // The script of the next connection not yet given one; a connection without
    // a script is closed at once.
    void Enqueue(Script script);
    // The common case: await the request, send `reply`, close.
    void EnqueueReply(const std::string& reply);

    size_t Connections() const;
    // The bytes received on connection `index` so far.
    std::string Request(size_t index) const;
    bool WaitForConnections(size_t count, int timeoutMs) const;
    // Waits until the script of connection `index` has finished.
    bool WaitForFinished(size_t index, int timeoutMs) const;
    bool WaitForMark(int id, int timeoutMs) const;
    void OpenGate(int id);

  private:
    struct Connection {
        shim::Socket socket = shim::kInvalid;
        std::string received;
        bool finished = false;
    };

    void AcceptLoop();
    void Run(size_t index, Script script);
    // Reads what the client sends for up to `milliseconds`; false once the client closed.
    bool Collect(size_t index, int milliseconds);
    // True when connection `index` has sent `heads` request heads.
    bool HeadComplete(size_t index, size_t heads) const;

    shim::Socket listener_ = shim::kInvalid;
    uint16_t port_ = 0;
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    bool stopping_ = false;
    std::deque<Script> scripts_;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::set<int> marks_;
    std::set<int> gates_;
    std::vector<std::thread> workers_;
    std::thread acceptor_;
};

}  // namespace zefo::test
