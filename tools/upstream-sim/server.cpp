// Handling of relay control datagrams, per-session pacing of data, and the poll loop.
#include "server.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "intake/protocol.h"

namespace upsim {

namespace {

// A burst (start, catch-up after release, large lead) is sent in slices of this many
// datagrams so that control datagrams are still read in between.
constexpr int kSendSlice = 64;

int64_t wall_now_ns() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return static_cast<int64_t>(tv.tv_sec) * 1000000000 + static_cast<int64_t>(tv.tv_usec) * 1000;
}

}  // namespace

Server::Server(const Options& options, std::map<std::string, const Clip*> clips,
               const Clip* fallback, EventLog& events, Counters& counters)
    : options_(options),
      clips_(std::move(clips)),
      fallback_(fallback),
      events_(events),
      counters_(counters) {}

Server::~Server() {
    if (fd_ >= 0)
        close(fd_);
}

bool Server::open(std::string& error) {
    Peer bind_to;
    if (!tools::resolve(options_.bind_addr, options_.port, AI_NUMERICHOST | AI_PASSIVE, bind_to,
                        error)) {
        error = "bad --bind address " + options_.bind_addr + ": " + error;
        return false;
    }
    fd_ = socket(bind_to.addr.ss_family, SOCK_DGRAM, 0);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<const sockaddr*>(&bind_to.addr), bind_to.len) != 0) {
        error = "cannot bind " + options_.bind_addr + ":" + std::to_string(options_.port) + ": " +
                std::strerror(errno);
        return false;
    }
    local_ = bind_to.text;
    // Bursts of several seconds of data should leave here whole.
    tools::enlarge_buffers(fd_, 4 << 20, false);
    out_ = std::make_unique<Outbound>(fd_, options_.impair, counters_);
    return true;
}

const Clip* Server::clip_for(const std::string& url) const {
    auto it = clips_.find(url);
    return it != clips_.end() ? it->second : fallback_;
}

void Server::run(const volatile sig_atomic_t* stop, const sigset_t& run_mask) {
    const Clock::time_point started = Clock::now();
    const Clock::time_point exit_at = tools::after(started, options_.exit_after_s);
    const Clock::duration idle = tools::seconds(options_.idle_timeout_s);

    while (!*stop) {
        Clock::time_point now = Clock::now();
        if (now >= exit_at)
            break;

        Clock::time_point wake = exit_at;
        bool busy = false;
        for (auto it = sessions_.begin(); it != sessions_.end();) {
            Session& s = it->second;
            if (now - s.last_heard >= idle) {
                ++counters_.sessions_idle;
                end_session(it++, "idle", now);
                continue;
            }
            if (!pump(s, now))
                busy = true;
            out_->flush_held(s.link, s.peer, now, false);
            wake = std::min(wake, s.last_heard + idle);
            wake = std::min(wake, tools::Impairer::held_deadline(s.link));
            bool paused = s.suspended && !options_.ignore_suspend;
            bool at_limit = options_.max_datagrams > 0 && s.next_k >= options_.max_datagrams;
            if (!paused && !at_limit)
                wake = std::min(wake, due_time(s, s.next_k));
            ++it;
        }
        out_->deliver_due(now);
        wake = std::min(wake, out_->next_delivery());

        const timespec timeout = tools::poll_timeout(now, busy ? now : wake);
        pollfd pfd{fd_, POLLIN, 0};
        int rc = ppoll(&pfd, 1, &timeout, &run_mask);
        if (rc > 0 && (pfd.revents & POLLIN))
            receive_all(Clock::now());
    }

    Clock::time_point now = Clock::now();
    while (!sessions_.empty())
        end_session(sessions_.begin(), "exit", now);
}

void Server::receive_all(Clock::time_point now) {
    uint8_t buf[2048];
    for (int i = 0; i < 256; ++i) {
        sockaddr_storage from{};
        socklen_t len = sizeof from;
        ssize_t n =
            recvfrom(fd_, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;  // drained, or an error the next turn will see again
        }
        Peer peer = Peer::from(from, len);
        if (out_->drop_incoming()) {
            events_.write(peer.text, "drop-in len=" + std::to_string(n));
            continue;
        }
        on_datagram(peer, buf, static_cast<size_t>(n), now);
    }
}

void Server::on_datagram(const Peer& peer, const uint8_t* data, size_t size,
                         Clock::time_point now) {
    auto it = sessions_.find(peer.text);
    if (it != sessions_.end())
        it->second.last_heard = now;
    Session* s = it != sessions_.end() ? &it->second : nullptr;
    std::string len = "len=" + std::to_string(size);
    uint32_t type = size >= 4 ? read_word(data, 0) : 0;

    switch (size >= 4 ? type : 0) {
        case MSG_STREAM_REQUEST:
            on_stream_request(peer, data, size, now);
            return;
        case MSG_LOST_REQUEST:
            on_lost(peer, data, size, now);
            return;
        case MSG_KEEPALIVE:
            events_.write(peer.text, "keepalive " + len);
            if (size == kKeepaliveBytes) {
                // The relay measures the round trip from the echo, so it goes back untouched
                // and outside the impairment.
                out_->send_plain(peer, data, size);
                ++counters_.keepalives_echoed;
            } else {
                ++counters_.keepalives_unechoed;
            }
            return;
        case MSG_SUSPEND:
        case MSG_RELEASE: {
            const bool suspend = type == MSG_SUSPEND;
            events_.write(peer.text, suspend ? "suspend" : "release");
            ++(suspend ? counters_.suspends : counters_.releases);
            if (s)
                s->suspended = suspend;
            return;
        }
        default:
            ++counters_.unknown_control;
            events_.write(peer.text,
                          "unknown " + len + " type=" + (size >= 4 ? std::to_string(type) : "-"));
            return;
    }
}

void Server::on_stream_request(const Peer& peer, const uint8_t* data, size_t size,
                               Clock::time_point now) {
    const char* text = reinterpret_cast<const char*>(data + 4);
    std::string url(text, strnlen(text, size - 4));
    std::string len = "len=" + std::to_string(size);
    if (url.empty()) {
        ++counters_.stop_requests;
        events_.write(peer.text, "stop " + len);
        if (auto it = sessions_.find(peer.text); it != sessions_.end())
            end_session(it, "stop", now);
        return;
    }
    ++counters_.stream_requests;
    std::string line = "req " + len + " url=" + printable_token(url);
    if (requests_dropped_ < options_.drop_requests) {
        ++requests_dropped_;
        ++counters_.requests_ignored;
        events_.write(peer.text, line + " ignored=drop-requests");
        return;
    }
    const Clip* clip = clip_for(url);
    if (!clip) {
        ++counters_.requests_ignored;
        events_.write(peer.text, line + " ignored=unknown-stream");
        std::fprintf(stderr, "upstream-sim: %s asked for unknown stream %s; ignored\n",
                     peer.text.c_str(), printable_token(url).c_str());
        return;
    }
    events_.write(peer.text, line);
    if (auto it = sessions_.find(peer.text); it != sessions_.end())
        end_session(it, "replaced", now);
    start_session(peer, url, clip, now);
}

void Server::on_lost(const Peer& peer, const uint8_t* data, size_t size, Clock::time_point now) {
    ++counters_.lost_requests;
    uint32_t n = size >= 8 ? read_word(data, 1) : 0;
    size_t listed = std::min<size_t>(n, size >= 8 ? (size - 8) / 4 : 0);
    std::string seqs;
    for (size_t i = 0; i < listed; ++i) {
        if (i)
            seqs += ',';
        seqs += std::to_string(read_word(data, 2 + i));
    }
    events_.write(peer.text, "lost n=" + std::to_string(n) + " seqs=" + seqs);

    auto it = sessions_.find(peer.text);
    for (size_t i = 0; i < listed; ++i) {
        ++counters_.seqs_asked;
        if (it == sessions_.end()) {
            ++counters_.seqs_not_in_history;
            continue;
        }
        Session& s = it->second;
        // Distance back from the next sequence number to be sent, modulo 2^32.
        uint32_t next_seq = options_.first_seq + static_cast<uint32_t>(s.next_k);
        uint32_t back = next_seq - read_word(data, 2 + i);
        if (back == 0 || back > options_.history || back > s.next_k) {
            ++counters_.seqs_not_in_history;
            continue;
        }
        ++counters_.retransmitted;
        out_->submit(s.link, s.peer, build(s, s.next_k - back), now);
    }
}

void Server::start_session(const Peer& peer, const std::string& url, const Clip* clip,
                           Clock::time_point now) {
    Session s;
    s.peer = peer;
    s.url = url;
    s.clip = clip;
    s.wall_anchor_ns = wall_now_ns();
    s.steady_anchor = now;
    s.last_heard = now;
    ++counters_.sessions_started;
    events_.write(peer.text, "session-start url=" + printable_token(url) +
                                 " file=" + printable_token(clip->path()) +
                                 " first-seq=" + std::to_string(options_.first_seq));
    sessions_[peer.text] = std::move(s);
}

void Server::end_session(SessionMap::iterator it, const char* reason, Clock::time_point now) {
    Session& s = it->second;
    out_->flush_held(s.link, s.peer, now, true);
    events_.write(s.peer.text, std::string("session-end reason=") + reason +
                                   " sent=" + std::to_string(s.next_k));
    sessions_.erase(it);
}

Clock::time_point Server::due_time(const Session& s, uint64_t k) const {
    int64_t ns = s.clip->offset(k) - options_.lead_ms * 1000000;
    return s.steady_anchor +
           std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(ns));
}

bool Server::pump(Session& s, Clock::time_point now) {
    if (s.suspended && !options_.ignore_suspend)
        return true;
    for (int i = 0; i < kSendSlice; ++i) {
        if (options_.max_datagrams > 0 && s.next_k >= options_.max_datagrams)
            return true;
        if (due_time(s, s.next_k) > now)
            return true;
        ++counters_.sent;
        const uint32_t every = options_.withhold_every;
        if (every > 0 && s.next_k % every >= every - options_.withhold_len)
            ++counters_.withheld;
        else
            out_->submit(s.link, s.peer, build(s, s.next_k), now);
        ++s.next_k;
    }
    return false;
}

std::vector<uint8_t> Server::build(const Session& s, uint64_t k) const {
    size_t index = k % s.clip->datagrams();
    size_t payload = s.clip->payload_size(index);
    std::vector<uint8_t> d(kDataHeaderBytes + payload);
    int64_t stamp = s.wall_anchor_ns + s.clip->offset(k);
    int64_t sec = stamp / 1000000000;
    int64_t nsec = stamp % 1000000000;
    if (nsec < 0) {
        nsec += 1000000000;
        --sec;
    }
    const Timespec32 ts{static_cast<int32_t>(sec), static_cast<int32_t>(nsec)};
    build_data_datagram(d.data(), d.size(), options_.first_seq + static_cast<uint32_t>(k), ts,
                        s.clip->payload(index), payload);
    return d;
}

}  // namespace upsim
