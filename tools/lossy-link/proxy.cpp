// Receiving from clients and the target, queueing by due time, and the poll loop.
#include "proxy.h"

#include <netdb.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>

namespace lossy {

namespace {

// Datagrams read from one socket per turn, so that no socket starves the others.
constexpr int kReceiveSlice = 256;
constexpr size_t kMaxDatagram = 65536;
// Large buffers let bursts through whole.
constexpr int kBufferBytes = 4 << 20;

// Each direction draws from its own generator; stream tells them apart for the same seed.
std::mt19937_64 seeded(uint64_t seed, uint64_t stream) {
    std::seed_seq seq{static_cast<uint32_t>(seed), static_cast<uint32_t>(seed >> 32),
                      static_cast<uint32_t>(stream)};
    return std::mt19937_64(seq);
}

bool resolve_or_say(const std::string& host, int port, int flags, Address& out,
                    std::string& error) {
    if (tools::resolve(host, port, flags, out, error))
        return true;
    error = "bad address " + host + ": " + error;
    return false;
}

}  // namespace

void Counters::print(FILE* f, const std::string& label) const {
    std::fputs(label.c_str(), f);
    for (const auto& [name, d] : {std::pair<const char*, const DirectionCounters&>{"up", up},
                                  std::pair<const char*, const DirectionCounters&>{"down", down}}) {
        std::fprintf(f,
                     " %s-received=%" PRIu64 " %s-forwarded=%" PRIu64 " %s-bytes=%" PRIu64
                     " %s-dropped=%" PRIu64 " %s-burst-dropped=%" PRIu64 " %s-duplicated=%" PRIu64
                     " %s-reordered=%" PRIu64,
                     name, d.impair.received, name, d.forwarded, name, d.bytes, name,
                     d.impair.dropped_loss + d.impair.dropped_burst, name, d.impair.dropped_burst,
                     name, d.impair.duplicated, name, d.impair.reordered);
    }
    std::fprintf(f,
                 " clients=%" PRIu64 " refused=%" PRIu64 " clients-expired=%" PRIu64
                 " send-errors=%" PRIu64 " unsent=%" PRIu64 "\n",
                 clients, refused, clients_expired, send_errors, unsent);
    std::fflush(f);
}

Proxy::Proxy(const Options& options, Counters& counters)
    : options_(options),
      counters_(counters),
      up_(options.up, seeded(options.seed, 0), counters.up.impair),
      down_(options.down, seeded(options.seed, 1), counters.down.impair),
      idle_(tools::seconds(options.idle_timeout_s)),
      buf_(kMaxDatagram) {}

Proxy::~Proxy() {
    for (auto& [id, c] : clients_)
        close(c.fd);
    if (listen_fd_ >= 0)
        close(listen_fd_);
}

bool Proxy::open(std::string& error) {
    if (!resolve_or_say(options_.target_host, options_.target_port, AI_NUMERICHOST, target_, error))
        return false;
    Address bind_to;
    if (!resolve_or_say(options_.bind_addr, options_.listen_port, AI_NUMERICHOST | AI_PASSIVE,
                        bind_to, error))
        return false;
    listen_fd_ = socket(bind_to.addr.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0 ||
        bind(listen_fd_, reinterpret_cast<const sockaddr*>(&bind_to.addr), bind_to.len) != 0) {
        error = "cannot bind " + bind_to.text + ": " + std::strerror(errno);
        return false;
    }
    tools::enlarge_buffers(listen_fd_, kBufferBytes, true);
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&bound), &len);
    local_ = Address::from(bound, len);
    return true;
}

Proxy::Client* Proxy::client_for(const Address& from, Clock::time_point now) {
    if (auto it = ids_.find(from.text); it != ids_.end())
        return &clients_.at(it->second);
    if (clients_.size() >= options_.max_clients)
        return nullptr;
    int fd = socket(target_.addr.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&target_.addr), target_.len) != 0) {
        close(fd);
        return nullptr;
    }
    tools::enlarge_buffers(fd, kBufferBytes, true);
    Client c;
    c.id = next_id_++;
    c.fd = fd;
    c.addr = from;
    c.last_active = now;
    ids_[from.text] = c.id;
    ++counters_.clients;
    return &clients_.emplace(c.id, std::move(c)).first->second;
}

void Proxy::receive_from_clients(Clock::time_point now) {
    for (int i = 0; i < kReceiveSlice; ++i) {
        sockaddr_storage from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(listen_fd_, buf_.data(), buf_.size(), 0,
                             reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;  // drained, or an error the next turn will see again
        }
        Client* c = client_for(Address::from(from, len), now);
        if (!c) {
            ++counters_.refused;
            continue;
        }
        c->last_active = now;
        up_.submit(c->up, Bytes(buf_.begin(), buf_.begin() + n), now, released_);
        schedule(*c, true);
        deliver_due(now);  // what is not delayed goes on at once, not after the whole slice
    }
}

void Proxy::receive_from_target(Client& c, Clock::time_point now) {
    for (int i = 0; i < kReceiveSlice; ++i) {
        ssize_t n = recv(c.fd, buf_.data(), buf_.size(), 0);
        if (n < 0) {
            // A refusal reported by the network for an earlier datagram: read on.
            if (errno == EINTR || errno == ECONNREFUSED)
                continue;
            return;
        }
        c.last_active = now;
        down_.submit(c.down, Bytes(buf_.begin(), buf_.begin() + n), now, released_);
        schedule(c, false);
        deliver_due(now);
    }
}

void Proxy::schedule(const Client& c, bool up) {
    for (tools::Release& r : released_)
        pending_.push(r.due, Leg{c.id, up}, std::move(r.bytes));
    released_.clear();
}

void Proxy::deliver_due(Clock::time_point now) {
    tools::ReleaseQueue<Leg>::Item p;
    while (pending_.pop_due(now, p)) {
        auto it = clients_.find(p.to.client);
        if (it == clients_.end()) {
            ++counters_.unsent;
            continue;
        }
        const Client& c = it->second;
        ssize_t n = p.to.up ? send(c.fd, p.bytes.data(), p.bytes.size(), MSG_DONTWAIT)
                            : sendto(listen_fd_, p.bytes.data(), p.bytes.size(), MSG_DONTWAIT,
                                     reinterpret_cast<const sockaddr*>(&c.addr.addr), c.addr.len);
        if (n != static_cast<ssize_t>(p.bytes.size())) {
            ++counters_.send_errors;
            continue;
        }
        DirectionCounters& d = p.to.up ? counters_.up : counters_.down;
        ++d.forwarded;
        d.bytes += p.bytes.size();
    }
}

void Proxy::flush_held(Clock::time_point now) {
    for (auto& [id, c] : clients_) {
        up_.flush_held(c.up, now, false, released_);
        schedule(c, true);
        down_.flush_held(c.down, now, false, released_);
        schedule(c, false);
    }
}

void Proxy::drop_client(std::map<uint64_t, Client>::iterator it) {
    Client& c = it->second;
    counters_.unsent += (c.up.has_held ? 1 : 0) + (c.down.has_held ? 1 : 0);
    close(c.fd);
    ids_.erase(c.addr.text);
    clients_.erase(it);
}

void Proxy::expire_idle(Clock::time_point now) {
    for (auto it = clients_.begin(); it != clients_.end();) {
        if (now - it->second.last_active >= idle_) {
            ++counters_.clients_expired;
            drop_client(it++);
        } else {
            ++it;
        }
    }
}

Clock::time_point Proxy::next_wake() const {
    Clock::time_point wake = pending_.next_due();
    for (const auto& [id, c] : clients_) {
        wake = std::min(wake, tools::Impairer::held_deadline(c.up));
        wake = std::min(wake, tools::Impairer::held_deadline(c.down));
        wake = std::min(wake, c.last_active + idle_);
    }
    return wake;
}

void Proxy::run(const volatile sig_atomic_t* stop, const sigset_t& run_mask) {
    const Clock::time_point started = Clock::now();
    const Clock::time_point exit_at = tools::after(started, options_.exit_after_s);
    const Clock::duration stats_every = tools::seconds(options_.stats_every_s);
    Clock::time_point next_stats = tools::after(started, options_.stats_every_s);

    std::vector<pollfd> fds;
    std::vector<uint64_t> fd_clients;  // client id of fds[i + 1]
    while (!*stop) {
        Clock::time_point now = Clock::now();
        if (now >= exit_at)
            break;
        if (now >= next_stats) {
            char label[64];
            std::snprintf(label, sizeof label, "lossy-link stats: t=%.1f",
                          std::chrono::duration<double>(now - started).count());
            counters_.print(stderr, label);
            while (next_stats <= now)
                next_stats += stats_every;
        }
        flush_held(now);
        deliver_due(now);
        expire_idle(now);

        Clock::time_point wake = std::min({next_wake(), exit_at, next_stats});
        const timespec timeout = tools::poll_timeout(now, wake);
        fds.assign(1, pollfd{listen_fd_, POLLIN, 0});
        fd_clients.clear();
        for (const auto& [id, c] : clients_) {
            fds.push_back(pollfd{c.fd, POLLIN, 0});
            fd_clients.push_back(id);
        }
        if (ppoll(fds.data(), fds.size(), &timeout, &run_mask) <= 0)
            continue;
        now = Clock::now();
        // Replies first: the client side may add clients, never remove them.
        for (size_t i = 1; i < fds.size(); ++i) {
            if (fds[i].revents == 0)
                continue;
            auto it = clients_.find(fd_clients[i - 1]);
            if (it != clients_.end())
                receive_from_target(it->second, now);
        }
        if (fds[0].revents != 0)
            receive_from_clients(now);
        deliver_due(Clock::now());
    }

    counters_.unsent += pending_.size();
    pending_.clear();
    for (const auto& [id, c] : clients_)
        counters_.unsent += (c.up.has_held ? 1 : 0) + (c.down.has_held ? 1 : 0);
}

}  // namespace lossy
