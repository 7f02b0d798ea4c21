// Who gets the stream: the connection accepted last wins a take-over, whatever order the client
// threads run in; with several players allowed, a newcomer for the same stream joins it, and at
// the cap the player that joined first goes.
#include "http/takeover.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "core/relay_context.h"

namespace {

TEST(Takeover, EarlierConnectionWhoseThreadRunsLateNeverTakesTheStream) {
    // The fault: tickets were drawn when a thread reached its take-over, so a connection
    // accepted before the player, but scheduled after it, took the stream from it.
    RelayContext ctx;
    const StreamView none;  // no stream yet

    // Connection 7 (the player, accepted last) is handed over first and takes the stream.
    ASSERT_EQ(player_action(none, takeover_ticket(&ctx, 7)), PlayerAction::TakeOver);

    // Connections 3 and 6, accepted earlier, only now reach the loop, whatever they name.
    StreamView playing;
    playing.live = true;
    playing.watching = 1;
    for (bool same : {true, false}) {
        playing.same = same;
        for (uint32_t older : {6u, 3u})
            EXPECT_EQ(player_action(playing, takeover_ticket(&ctx, older)),
                      PlayerAction::Superseded)
                << older;
    }
    EXPECT_EQ(ctx.client_ticket.load(), 7u) << "the holder was disturbed";
}

TEST(Takeover, LaterAcceptNumbersWinAcrossTheWrap) {
    struct Case {
        uint32_t latest, order;
        bool wins;
    } cases[] = {
        {0, 1, true},           {5, 4, false},
        {0xFFFFFFFFu, 0, true},  // the accept counter wrapped
        {0xFFFFFFF0u, 3, true}, {3, 0xFFFFFFF0u, false},
    };
    for (const Case& c : cases) {
        RelayContext ctx;
        ctx.client_ticket.store(c.latest);
        EXPECT_EQ(takeover_ticket(&ctx, c.order), c.wins) << c.latest << " then " << c.order;
        EXPECT_EQ(ctx.client_ticket.load(), c.wins ? c.order : c.latest);
    }
}

// Joining needs -n of 2 or more, a live stream and the same stream; at the cap it closes the
// earliest. Everything else is a take-over for the latest ticket.
TEST(Takeover, NewcomerJoinsTheSameLiveStreamUpToTheCapAndTakesOverOtherwise) {
    struct Case {
        int max_players;
        bool live, same;
        int watching;
        bool latest;
        PlayerAction want;
    } cases[] = {
        {1, true, true, 1, true, PlayerAction::TakeOver},  // -n 1: the same stream is taken over
        {1, true, true, 1, false, PlayerAction::Superseded},
        {4, true, true, 3, false, PlayerAction::Join},  // joining needs no ticket
        {4, true, true, 4, true, PlayerAction::JoinAtCap},
        {4, true, false, 2, true, PlayerAction::TakeOver},     // another stream
        {4, false, true, 0, true, PlayerAction::TakeOver},     // the stream is ending: anew
        {4, true, false, 2, false, PlayerAction::Superseded},  // a later player took over
        {64, true, true, 63, true, PlayerAction::Join},
        {64, true, true, 64, true, PlayerAction::JoinAtCap},
    };
    for (const Case& c : cases) {
        StreamView v;
        v.max_players = c.max_players;
        v.live = c.live;
        v.same = c.same;
        v.watching = c.watching;
        EXPECT_EQ(player_action(v, c.latest), c.want)
            << "-n " << c.max_players << (c.live ? " live" : "") << (c.same ? " same" : "")
            << " watching " << c.watching;
    }
}

TEST(Takeover, TheCapClosesThePlayerThatJoinedFirstAcrossTheWrap) {
    const uint32_t near_wrap[] = {0xFFFFFFFEu, 0xFFFFFFFFu, 0u, 1u};
    EXPECT_EQ(earliest_player(near_wrap, 4, 2u), 0);
    const uint32_t shuffled[] = {12, 10, 11};
    EXPECT_EQ(earliest_player(shuffled, 3, 13), 1);
    EXPECT_EQ(earliest_player(shuffled, 0, 13), -1);
}

TEST(Takeover, SameStreamIsTheSameAddressPortAndName) {
    const auto path = [](const char* ip, int port, const char* url) {
        StreamPath p{};
        snprintf(p.remote_ip, sizeof p.remote_ip, "%s", ip);
        p.remote_port = port;
        snprintf(p.url, sizeof p.url, "%s", url);
        return p;
    };
    const StreamPath a = path("127.0.0.1", 5000, "chan:7");
    EXPECT_TRUE(same_stream(a, path("127.0.0.1", 5000, "chan:7")));
    EXPECT_TRUE(same_stream(a, path("127.1", 5000, "chan:7")));  // one address, two spellings
    EXPECT_FALSE(same_stream(a, path("127.0.0.2", 5000, "chan:7")));
    EXPECT_FALSE(same_stream(a, path("127.0.0.1", 5001, "chan:7")));
    EXPECT_FALSE(same_stream(a, path("127.0.0.1", 5000, "chan:8")));
}

// Client threads post in any order; the loop takes them in accept order.
TEST(Takeover, HandedOverPlayersComeOutInAcceptOrder) {
    RelayContext ctx;
    for (uint32_t t : {5u, 0xFFFFFFFFu, 2u, 7u, 0u}) {
        Handover* h = new Handover;
        h->ticket = t;
        handover_post(&ctx, h);
    }
    std::vector<uint32_t> got;
    for (Handover* h = handover_take_all(&ctx); h != nullptr;) {
        got.push_back(h->ticket);
        Handover* next = h->next;
        delete h;
        h = next;
    }
    EXPECT_EQ(got, (std::vector<uint32_t>{0xFFFFFFFFu, 0u, 2u, 5u, 7u}));
    EXPECT_EQ(handover_take_all(&ctx), nullptr);
}

}  // namespace
