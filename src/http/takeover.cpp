// Handing a player to the event loop, and the loop's decisions about it.
#include "http/takeover.h"

#include <arpa/inet.h>

#include <cstring>

#include "core/relay_context.h"

void handover_post(RelayContext* ctx, Handover* h) {
    Handover* head = ctx->handovers.load(std::memory_order_relaxed);
    do {
        h->next = head;
        // Release: the record's fields are complete before the loop can take it.
    } while (!ctx->handovers.compare_exchange_weak(head, h, std::memory_order_release,
                                                   std::memory_order_relaxed));
    relay_wake(ctx);
}

Handover* handover_take_all(RelayContext* ctx) {
    // Acquire: pairs with the posts' release.
    Handover* list = ctx->handovers.exchange(nullptr, std::memory_order_acquire);
    // Pushed newest first; sorted into accept order (a handful at a time, so by insertion).
    Handover* sorted = nullptr;
    while (list != nullptr) {
        Handover* h = list;
        list = list->next;
        Handover** at = &sorted;
        while (*at != nullptr && static_cast<int32_t>(h->ticket - (*at)->ticket) > 0)
            at = &(*at)->next;
        h->next = *at;
        *at = h;
    }
    return sorted;
}

bool same_stream(const StreamPath& a, const StreamPath& b) {
    if (a.remote_port != b.remote_port || strcmp(a.url, b.url) != 0)
        return false;
    // The address as the socket takes it: "127.0.0.1" and "127.1" are one upstream.
    in_addr x{}, y{};
    if (inet_aton(a.remote_ip, &x) != 0 && inet_aton(b.remote_ip, &y) != 0)
        return x.s_addr == y.s_addr;
    return strcmp(a.remote_ip, b.remote_ip) == 0;
}

bool takeover_ticket(RelayContext* ctx, uint32_t accept_order) {
    uint32_t latest = ctx->client_ticket.load(std::memory_order_relaxed);
    // Accept numbers wrap; a number ahead of `latest` by less than half the range is later.
    while (static_cast<int32_t>(accept_order - latest) > 0) {
        // Relaxed: the loop's own word (a test's thread otherwise).
        if (ctx->client_ticket.compare_exchange_weak(latest, accept_order,
                                                     std::memory_order_relaxed))
            return true;
    }
    return latest == accept_order;
}

bool joins(const StreamView& v) {
    return v.max_players > 1 && v.live && v.same;
}

PlayerAction player_action(const StreamView& v, bool latest) {
    if (joins(v))
        return v.watching < v.max_players ? PlayerAction::Join : PlayerAction::JoinAtCap;
    return latest ? PlayerAction::TakeOver : PlayerAction::Superseded;
}

int earliest_player(const uint32_t* join_order, int n, uint32_t next) {
    int oldest = -1;
    for (int i = 0; i < n; ++i)
        if (oldest < 0 || next - join_order[i] > next - join_order[oldest])
            oldest = i;
    return oldest;
}
