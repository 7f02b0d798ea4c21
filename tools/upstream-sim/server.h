// The simulator's socket and its single-threaded loop: one session per relay address.
#pragma once

#include <signal.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "clip.h"
#include "counters.h"
#include "event_log.h"
#include "options.h"
#include "outbound.h"

namespace upsim {

class Server {
  public:
    // clips: stream name -> file; fallback serves other names when not null.
    Server(const Options& options, std::map<std::string, const Clip*> clips, const Clip* fallback,
           EventLog& events, Counters& counters);
    ~Server();

    bool open(std::string& error);                       // creates and binds the socket
    const std::string& local() const { return local_; }  // "ADDR:PORT" once open
    // Serves until *stop becomes non-zero (set by a signal handler; the signals in run_mask
    // are only taken while waiting) or --exit-after passes.
    void run(const volatile sig_atomic_t* stop, const sigset_t& run_mask);

  private:
    struct Session {
        Peer peer;
        std::string url;
        const Clip* clip = nullptr;
        uint64_t next_k = 0;         // datagrams generated so far
        int64_t wall_anchor_ns = 0;  // wall clock when the request arrived
        Clock::time_point steady_anchor{};
        Clock::time_point last_heard{};
        bool suspended = false;
        tools::FlowState link;
    };
    using SessionMap = std::map<std::string, Session>;

    void receive_all(Clock::time_point now);
    void on_datagram(const Peer& peer, const uint8_t* data, size_t size, Clock::time_point now);
    void on_stream_request(const Peer& peer, const uint8_t* data, size_t size,
                           Clock::time_point now);
    void on_lost(const Peer& peer, const uint8_t* data, size_t size, Clock::time_point now);
    void start_session(const Peer& peer, const std::string& url, const Clip* clip,
                       Clock::time_point now);
    void end_session(SessionMap::iterator it, const char* reason, Clock::time_point now);
    // Sends what has come due; false if it stopped early with more due.
    bool pump(Session& s, Clock::time_point now);
    Clock::time_point due_time(const Session& s, uint64_t k) const;
    std::vector<uint8_t> build(const Session& s, uint64_t k) const;
    const Clip* clip_for(const std::string& url) const;

    Options options_;
    std::map<std::string, const Clip*> clips_;
    const Clip* fallback_;
    EventLog& events_;
    Counters& counters_;
    int fd_ = -1;
    std::string local_;
    std::unique_ptr<Outbound> out_;
    SessionMap sessions_;
    uint32_t requests_dropped_ = 0;
};

}  // namespace upsim
