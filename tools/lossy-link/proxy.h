// The proxy: the listen socket, one target-facing socket per client, the queue of delayed
// datagrams and the poll loop that serves them all.
#pragma once

#include <signal.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "common/impair.h"
#include "common/udp.h"
#include "options.h"

namespace lossy {

using tools::Address;
using tools::Bytes;
using tools::Clock;

// What happened in one direction, over all clients.
struct DirectionCounters {
    tools::ImpairCounts impair;  // received, and what the impairment did with them
    uint64_t forwarded = 0;      // datagrams written, copies included
    uint64_t bytes = 0;          // bytes of those
};

// Everything the proxy counts, printed as one line.
struct Counters {
    DirectionCounters up;    // client -> target
    DirectionCounters down;  // target -> client
    uint64_t clients = 0;    // client addresses seen
    uint64_t refused = 0;    // datagrams of clients beyond --max-clients or without a socket
    uint64_t clients_expired = 0;
    uint64_t send_errors = 0;
    uint64_t unsent = 0;  // delayed or held at the end, or whose client had expired

    // Writes "<label> key=value ..." and a newline.
    void print(FILE* f, const std::string& label) const;
};

class Proxy {
  public:
    Proxy(const Options& options, Counters& counters);
    ~Proxy();
    Proxy(const Proxy&) = delete;
    Proxy& operator=(const Proxy&) = delete;

    // Resolves the target and binds the listen socket; false with a message in error.
    bool open(std::string& error);
    const std::string& local() const { return local_.text; }

    // Serves until *stop is set (signals are let through only while waiting, by run_mask)
    // or --exit-after has passed. What is still queued then is counted as unsent.
    void run(const volatile sig_atomic_t* stop, const sigset_t& run_mask);

  private:
    struct Client {
        uint64_t id = 0;
        int fd = -1;  // connected to the target
        Address addr;
        tools::FlowState up, down;
        Clock::time_point last_active{};
    };
    // Where a delayed copy goes: the client it belongs to, and which way.
    struct Leg {
        uint64_t client = 0;
        bool up = false;
    };

    Client* client_for(const Address& from, Clock::time_point now);
    void receive_from_clients(Clock::time_point now);
    void receive_from_target(Client& c, Clock::time_point now);
    void schedule(const Client& c, bool up);
    void deliver_due(Clock::time_point now);
    void flush_held(Clock::time_point now);
    void expire_idle(Clock::time_point now);
    void drop_client(std::map<uint64_t, Client>::iterator it);
    Clock::time_point next_wake() const;

    Options options_;
    Counters& counters_;
    tools::Impairer up_;
    tools::Impairer down_;
    int listen_fd_ = -1;
    Address local_;
    Address target_;
    Clock::duration idle_{};
    std::map<std::string, uint64_t> ids_;  // client address text -> id
    std::map<uint64_t, Client> clients_;
    uint64_t next_id_ = 1;
    tools::ReleaseQueue<Leg> pending_;
    std::vector<tools::Release> released_;
    std::vector<uint8_t> buf_;
};

}  // namespace lossy
