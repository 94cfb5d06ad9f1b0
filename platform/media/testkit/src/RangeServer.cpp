#include "platform/media/testkit/RangeServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/window/text.h"

namespace platform::media::testkit {
namespace {

constexpr int kPollSliceMs = 50;
constexpr std::size_t kChunk = 4096;

// Parses "bytes=FIRST-[LAST]" against a file of size bytes. False for anything else.
bool ParseRange(const std::string& value, std::size_t size, std::size_t& first, std::size_t& last) {
    const std::string prefix = "bytes=";
    if (value.compare(0, prefix.size(), prefix) != 0) return false;
    const std::string bytes = value.substr(prefix.size());
    const auto dash = bytes.find('-');
    if (dash == std::string::npos || dash == 0 || size == 0) return false;
    try {
        first = std::stoull(bytes.substr(0, dash));
        last = dash + 1 < bytes.size() ? std::stoull(bytes.substr(dash + 1)) : size - 1;
    } catch (...) {
        return false;
    }
    last = std::min(last, size - 1);
    return first <= last;
}

}  // namespace

RangeServer::RangeServer(std::filesystem::path folder, std::size_t bytesPerSecond)
    : Folder(std::move(folder)), Rate(bytesPerSecond) {
    Listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (Listener < 0) throw std::runtime_error("no socket for the loopback server");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (bind(Listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(Listener, 16) != 0 ||
        getsockname(Listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(Listener);
        throw std::runtime_error("cannot listen on a loopback port");
    }
    Port = ntohs(address.sin_port);
    if (!Acceptor.Start("range-server", [this] { AcceptLoop(); })) {
        close(Listener);
        throw std::runtime_error("no thread for the loopback server");
    }
}

RangeServer::~RangeServer() {
    Stopping.store(true, std::memory_order_release);
    Acceptor.JoinFor(kWorkerJoinLimit);
    std::lock_guard guard(WorkersLock);
    for (auto& worker : Workers) worker.JoinFor(kWorkerJoinLimit);
    Workers.clear();
    close(Listener);
}

std::string RangeServer::Url(const std::string& name) const {
    return "http://127.0.0.1:" + std::to_string(Port) + "/" + name;
}

void RangeServer::AcceptLoop() {
    while (!Stopping.load(std::memory_order_acquire)) {
        pollfd entry{Listener, POLLIN, 0};
        if (poll(&entry, 1, kPollSliceMs) <= 0) continue;
        const int client = accept4(Listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        std::lock_guard guard(WorkersLock);
        // Threads of connections that have ended are joined here, so a long
        // test does not pile them up.
        Workers.remove_if([](WorkerThread& worker) { return !worker.Running() && worker.JoinFor({}); });
        Workers.emplace_back();
        if (!Workers.back().Start("range-client", [this, client] { Serve(client); })) {
            Workers.pop_back();
            close(client);
        }
    }
}

void RangeServer::Break(const std::string& name) {
    std::lock_guard guard(BrokenLock);
    Broken.insert(name);
}

bool RangeServer::IsBroken(const std::string& name) {
    std::lock_guard guard(BrokenLock);
    return Broken.count(name) > 0;
}

bool RangeServer::SendAll(int client, const char* data, std::size_t size, bool paced, const std::string& name) {
    const auto start = std::chrono::steady_clock::now();
    std::size_t sent = 0;
    while (sent < size) {
        if (Stopping.load(std::memory_order_acquire)) return false;
        if (paced && IsBroken(name)) {
            // Reset, not closed: the client sees the connection fail.
            linger reset{1, 0};
            setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            return false;
        }
        const std::size_t piece = std::min(kChunk, size - sent);
        pollfd entry{client, POLLOUT, 0};
        if (poll(&entry, 1, kPollSliceMs) <= 0) continue;
        const ssize_t written = send(client, data + sent, piece, MSG_NOSIGNAL);
        if (written < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return false;
        }
        sent += static_cast<std::size_t>(written);
        if (paced) BodyBytes.fetch_add(static_cast<std::size_t>(written), std::memory_order_relaxed);
        if (paced && Rate > 0) {
            // Keep to the rate over the whole response, not per chunk.
            const auto due = start + std::chrono::microseconds(sent * 1000000 / Rate);
            while (std::chrono::steady_clock::now() < due) {
                if (Stopping.load(std::memory_order_acquire)) return false;
                std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
                    due - std::chrono::steady_clock::now(), std::chrono::milliseconds(kPollSliceMs)));
            }
        }
    }
    return true;
}

void RangeServer::Serve(int client) {
    std::string request;
    char buffer[2048];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 16384) {
        if (Stopping.load(std::memory_order_acquire) || std::chrono::steady_clock::now() > deadline) {
            close(client);
            return;
        }
        pollfd entry{client, POLLIN, 0};
        if (poll(&entry, 1, kPollSliceMs) <= 0) continue;
        const ssize_t got = recv(client, buffer, sizeof buffer, 0);
        if (got <= 0) {
            close(client);
            return;
        }
        request.append(buffer, static_cast<std::size_t>(got));
    }
    RequestCount.fetch_add(1, std::memory_order_relaxed);

    std::istringstream lines(request);
    std::string method, target, version, line, range;
    lines >> method >> target >> version;
    std::getline(lines, line);
    while (std::getline(lines, line) && line != "\r") {
        const auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        const std::string name = LowerAscii(line.substr(0, colon));
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        if (!value.empty() && value.back() == '\r') value.pop_back();
        if (name == "range") range = value;
    }

    const std::string name = target.substr(target.find_last_of('/') + 1);
    const auto path = Folder / name;
    std::ifstream file(path, std::ios::binary);
    std::ostringstream head;
    if (name.empty() || name.find("..") != std::string::npos || !file || (method != "GET" && method != "HEAD") ||
        IsBroken(name)) {
        const std::string missing = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        SendAll(client, missing.data(), missing.size(), false, name);
        close(client);
        return;
    }
    std::vector<char> content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::size_t first = 0, last = content.empty() ? 0 : content.size() - 1;
    const bool partial = !range.empty() && ParseRange(range, content.size(), first, last);
    if (!range.empty() && !partial) {
        head << "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */" << content.size()
             << "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        const std::string text = head.str();
        SendAll(client, text.data(), text.size(), false, name);
        close(client);
        return;
    }
    if (partial) RangeCount.fetch_add(1, std::memory_order_relaxed);
    const std::size_t length = content.empty() ? 0 : last - first + 1;
    head << (partial ? "HTTP/1.1 206 Partial Content\r\n" : "HTTP/1.1 200 OK\r\n")
         << "Content-Type: application/octet-stream\r\nAccept-Ranges: bytes\r\nContent-Length: " << length << "\r\n";
    if (partial) head << "Content-Range: bytes " << first << '-' << last << '/' << content.size() << "\r\n";
    head << "Connection: close\r\n\r\n";
    const std::string text = head.str();
    if (SendAll(client, text.data(), text.size(), false, name) && method == "GET" && length > 0) {
        SendAll(client, content.data() + first, length, true, name);
    }
    shutdown(client, SHUT_WR);
    close(client);
}

}  // namespace platform::media::testkit
