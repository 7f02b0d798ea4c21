// The players' seats: a handed-over connection given a slot of the players' table, its head
// written, and its slot freed and connection closed once the loop has it back.
#include "daemon/player_seats.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "core/log.h"
#include "daemon/event_loop.h"
#include "http/request_reader.h"
#include "http/response.h"
#include "http/takeover.h"

namespace {

bool shared_mode(const EventLoop* loop) {
    return loop->players.max_players > 1;
}

void peer_text(int fd, char* out, size_t size) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    char ip[INET_ADDRSTRLEN] = "?";
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0)
        inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
    snprintf(out, size, "%s:%u", ip, ntohs(peer.sin_port));
}

}  // namespace

void close_player(int conn) {
    relay_log("Freeing\n");
    close(conn);
    relay_log("Exiting\n");
}

void drop_silently(Handover* h) {
    close(h->conn);
    delete h;
}

void write_head(EventLoop* loop, int conn) {
    ReqInfo ok{};
    ok.status = 200;
    Output_HTTP_Headers(conn, &ok, loop->ctx.content_type);
}

bool seat(EventLoop* loop, const Handover* h, bool head_now) {
    PlayerSlot* slot = nullptr;
    for (PlayerSlot& s : loop->players.slots) {
        if (s.state.load(std::memory_order_relaxed) == PLAYER_FREE) {
            slot = &s;
            break;
        }
    }
    if (slot == nullptr)
        return false;
    if (shared_mode(loop)) {
        slot->pending = static_cast<unsigned char*>(malloc(kPendingBytes));
        if (slot->pending == nullptr)
            return false;
        // A fixed buffer: the system's growing one would hide a stalled player for seconds.
        setsockopt(h->conn, SOL_SOCKET, SO_SNDBUF, &kPlayerSndbuf, sizeof kPlayerSndbuf);
    }
    slot->fd.store(h->conn, std::memory_order_relaxed);
    slot->pending_off = 0;
    slot->pending_len = 0;
    slot->taken = 0;
    slot->moving_since_us = 0;
    slot->bytes.clear();
    slot->join_order = loop->life.joins++;
    slot->noted = false;
    PlayerRecord rec{};
    rec.active = 1;
    rec.since = static_cast<uint32_t>(time(nullptr));
    peer_text(h->conn, rec.addr, sizeof rec.addr);
    seqlock_publish(&slot->record, rec);
    slot->head_sent = head_now;
    if (head_now)
        write_head(loop, h->conn);
    // Release: the sender that takes the slot finds it filled in.
    slot->state.store(PLAYER_IDLE, std::memory_order_release);
    return true;
}

void unseat(PlayerSlot* slot) {
    close_player(slot->fd.load(std::memory_order_relaxed));
    free(slot->pending);
    slot->pending = nullptr;
    slot->fd.store(-1, std::memory_order_relaxed);
    seqlock_publish(&slot->record, PlayerRecord{});
    slot->state.store(PLAYER_FREE, std::memory_order_relaxed);
}

PlayerSlot* first_player(EventLoop* loop) {
    for (PlayerSlot& s : loop->players.slots)
        if (s.state.load(std::memory_order_relaxed) != PLAYER_FREE)
            return &s;
    return nullptr;
}

void shut_players(EventLoop* loop) {
    for (PlayerSlot& s : loop->players.slots)
        if (s.state.load(std::memory_order_relaxed) != PLAYER_FREE)
            shutdown(s.fd.load(std::memory_order_relaxed), SHUT_RDWR);
}
