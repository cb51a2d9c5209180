#include "common/scripted_server.h"

#include <chrono>
#include <cstdio>

namespace zefo::test {

namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point end) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

Script& Script::AwaitRequest() {
    steps_.push_back({Step::AwaitRequest, {}, 0});
    return *this;
}

Script& Script::Send(std::string bytes) {
    steps_.push_back({Step::Send, std::move(bytes), 0});
    return *this;
}

Script& Script::SendInPieces(const std::string& bytes, size_t pieceSize, int pauseMs) {
    for (size_t at = 0; at < bytes.size(); at += pieceSize) {
        if (at > 0)
            Pause(pauseMs);
        Send(bytes.substr(at, pieceSize));
    }
    return *this;
}

Script& Script::Pause(int milliseconds) {
    steps_.push_back({Step::Pause, {}, milliseconds});
    return *this;
}

Script& Script::Mark(int id) {
    steps_.push_back({Step::Mark, {}, id});
    return *this;
}

Script& Script::AwaitGate(int id) {
    steps_.push_back({Step::AwaitGate, {}, id});
    return *this;
}

Script& Script::Close() {
    steps_.push_back({Step::Close, {}, 0});
    return *this;
}

Script& Script::Reset() {
    steps_.push_back({Step::Reset, {}, 0});
    return *this;
}

Script& Script::Hangup() {
    steps_.push_back({Step::Hangup, {}, 0});
    return *this;
}

Script& Script::StaySilent() {
    steps_.push_back({Step::StaySilent, {}, 0});
    return *this;
}

std::string HttpResponse(const std::string& statusLine,
                         const std::vector<std::string>& headers,
                         const std::string& body) {
    std::string text = statusLine + "\r\n";
    for (const auto& header : headers)
        text += header + "\r\n";
    return text + "\r\n" + body;
}

std::string ChunkedBody(const std::vector<std::string>& chunks, bool finish) {
    std::string text;
    for (const auto& chunk : chunks) {
        char size[32];
        std::snprintf(size, sizeof size, "%zx\r\n", chunk.size());
        text += size + chunk + "\r\n";
    }
    if (finish)
        text += "0\r\n\r\n";
    return text;
}

std::string ListReply(const std::string& block) {
    return HttpResponse("HTTP/1.0 200 OK", {"Content-Type: text/plain"}, "[data]" + block + "[/data]");
}

ScriptedServer::ScriptedServer(uint16_t port) : port_(port) {
    shim::Startup();
    listener_ = shim::ListenLoopback(port_);
    if (listener_ != shim::kInvalid)
        acceptor_ = std::thread([this] { AcceptLoop(); });
}

ScriptedServer::~ScriptedServer() {
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (acceptor_.joinable())
        acceptor_.join();
    for (auto& worker : workers_)
        worker.join();
    if (listener_ != shim::kInvalid)
        shim::Close(listener_);
}

std::string ScriptedServer::Host() const {
    return "127.0.0.1:" + std::to_string(port_);
}

std::string ScriptedServer::Url(const std::string& path) const {
    return "http://" + Host() + "/" + path;
}

void ScriptedServer::Enqueue(Script script) {
    std::lock_guard guard(lock_);
    scripts_.push_back(std::move(script));
}

void ScriptedServer::EnqueueReply(const std::string& reply) {
    Enqueue(Script().AwaitRequest().Send(reply).Close());
}

size_t ScriptedServer::Connections() const {
    std::lock_guard guard(lock_);
    return connections_.size();
}

std::string ScriptedServer::Request(size_t index) const {
    std::lock_guard guard(lock_);
    return index < connections_.size() ? connections_[index]->received : std::string();
}

bool ScriptedServer::WaitForConnections(size_t count, int timeoutMs) const {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return connections_.size() >= count; });
}

bool ScriptedServer::WaitForFinished(size_t index, int timeoutMs) const {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                             [&] { return index < connections_.size() && connections_[index]->finished; });
}

bool ScriptedServer::WaitForMark(int id, int timeoutMs) const {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return marks_.count(id) > 0; });
}

void ScriptedServer::OpenGate(int id) {
    {
        std::lock_guard guard(lock_);
        gates_.insert(id);
    }
    changed_.notify_all();
}

void ScriptedServer::AcceptLoop() {
    for (;;) {
        {
            std::lock_guard guard(lock_);
            if (stopping_)
                return;
        }
        shim::Socket socket = shim::AcceptWithin(listener_, 20);
        if (socket == shim::kInvalid)
            continue;
        std::lock_guard guard(lock_);
        auto connection = std::make_unique<Connection>();
        connection->socket = socket;
        connections_.push_back(std::move(connection));
        Script script;
        if (!scripts_.empty()) {
            script = std::move(scripts_.front());
            scripts_.pop_front();
        }
        size_t index = connections_.size() - 1;
        workers_.emplace_back([this, index, script = std::move(script)] { Run(index, script); });
        changed_.notify_all();
    }
}

bool ScriptedServer::Collect(size_t index, int milliseconds) {
    shim::Socket socket;
    {
        std::lock_guard guard(lock_);
        socket = connections_[index]->socket;
    }
    int ready = shim::WaitReadable(socket, milliseconds);
    if (ready == 0)
        return true;
    if (ready < 0)
        return false;
    char buffer[65536];
    int received = shim::Receive(socket, buffer, sizeof buffer);
    if (received <= 0)
        return false;
    std::lock_guard guard(lock_);
    connections_[index]->received.append(buffer, static_cast<size_t>(received));
    return true;
}

bool ScriptedServer::HeadComplete(size_t index, size_t heads) const {
    std::lock_guard guard(lock_);
    const std::string& received = connections_[index]->received;
    size_t found = 0;
    for (size_t at = received.find("\r\n\r\n"); at != std::string::npos; at = received.find("\r\n\r\n", at + 4))
        ++found;
    return found >= heads;
}

void ScriptedServer::Run(size_t index, Script script) {
    shim::Socket socket;
    {
        std::lock_guard guard(lock_);
        socket = connections_[index]->socket;
    }
    auto stopping = [this] {
        std::lock_guard guard(lock_);
        return stopping_;
    };
    bool clientOpen = true;
    size_t requestsAwaited = 0;
    bool closed = false;
    // Reads for `milliseconds` (or just sleeps once the client has closed).
    auto collectFor = [&](int milliseconds) {
        if (clientOpen)
            clientOpen = Collect(index, milliseconds);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    };
    // Orderly end: the client reads the end of the stream; its last bytes are
    // still read so that closing does not turn into a reset.
    auto closeInOrder = [&] {
        shim::ShutdownSend(socket);
        auto end = Clock::now() + std::chrono::seconds(5);
        while (clientOpen && MillisecondsLeft(end) > 0 && !stopping())
            collectFor(20);
        shim::Close(socket);
        closed = true;
    };

    for (const auto& step : script.steps()) {
        if (closed)
            break;
        switch (step.kind) {
            case Script::Step::AwaitRequest: {
                // The n-th request of a connection kept open waits for the n-th head.
                ++requestsAwaited;
                auto end = Clock::now() + std::chrono::seconds(5);
                while (clientOpen && !HeadComplete(index, requestsAwaited) && MillisecondsLeft(end) > 0 && !stopping())
                    collectFor(20);
                break;
            }
            case Script::Step::Send:
                shim::SendAll(socket, step.bytes.data(), step.bytes.size());
                break;
            case Script::Step::Pause: {
                auto end = Clock::now() + std::chrono::milliseconds(step.number);
                for (int left; (left = MillisecondsLeft(end)) > 0 && !stopping();)
                    collectFor(left < 20 ? left : 20);
                break;
            }
            case Script::Step::Mark: {
                {
                    std::lock_guard guard(lock_);
                    marks_.insert(step.number);
                }
                changed_.notify_all();
                break;
            }
            case Script::Step::AwaitGate: {
                auto end = Clock::now() + std::chrono::seconds(20);
                for (;;) {
                    {
                        std::lock_guard guard(lock_);
                        if (stopping_ || gates_.count(step.number))
                            break;
                    }
                    if (MillisecondsLeft(end) == 0)
                        break;
                    collectFor(5);
                }
                break;
            }
            case Script::Step::Close:
                closeInOrder();
                break;
            case Script::Step::Reset:
                shim::Abort(socket);
                closed = true;
                break;
            case Script::Step::Hangup:
                shim::ShutdownSend(socket);
                shim::Close(socket);
                closed = true;
                break;
            case Script::Step::StaySilent:
                while (clientOpen && !stopping())
                    collectFor(20);
                break;
        }
    }
    if (!closed)
        closeInOrder();
    {
        std::lock_guard guard(lock_);
        connections_[index]->finished = true;
    }
    changed_.notify_all();
}

}  // namespace zefo::test
