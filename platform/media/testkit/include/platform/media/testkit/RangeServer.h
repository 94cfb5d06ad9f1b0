#pragma once

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <list>
#include <mutex>
#include <set>
#include <string>

#include "platform/thread/thread.h"

namespace platform::media::testkit {

// A loopback HTTP/1.1 server for the files of one folder, with byte ranges
// (206 Partial Content) and a bandwidth limit, so network sources can be made
// to buffer. Each connection is served on a thread of its own and closed after
// one response. Everything ends in the destructor.
class RangeServer {
public:
    // bytesPerSecond 0 means no limit. Throws std::runtime_error when no
    // loopback port can be opened.
    RangeServer(std::filesystem::path folder, std::size_t bytesPerSecond);
    ~RangeServer();
    RangeServer(const RangeServer&) = delete;
    RangeServer& operator=(const RangeServer&) = delete;

    // "http://127.0.0.1:PORT/name"
    std::string Url(const std::string& name) const;
    std::size_t Requests() const noexcept { return RequestCount.load(std::memory_order_relaxed); }
    std::size_t RangeRequests() const noexcept { return RangeCount.load(std::memory_order_relaxed); }
    // Bytes of file bodies sent so far, over every connection.
    std::size_t BytesSent() const noexcept { return BodyBytes.load(std::memory_order_relaxed); }

    // Makes the file name fail as a server that went away would: responses
    // under way are cut off (the connection reset) and later requests for it
    // get 404. Any thread.
    void Break(const std::string& name);

private:
    void AcceptLoop();
    void Serve(int client);
    bool SendAll(int client, const char* data, std::size_t size, bool paced, const std::string& name);
    bool IsBroken(const std::string& name);

    std::filesystem::path Folder;
    std::size_t Rate;
    int Listener = -1;
    int Port = 0;
    std::atomic<bool> Stopping{false};  // written by the destructor
    std::atomic<std::size_t> RequestCount{0};
    std::atomic<std::size_t> RangeCount{0};
    std::atomic<std::size_t> BodyBytes{0};
    std::mutex BrokenLock;
    std::set<std::string> Broken;  // guarded by BrokenLock
    std::mutex WorkersLock;
    std::list<WorkerThread> Workers;
    WorkerThread Acceptor;
};

}  // namespace platform::media::testkit
