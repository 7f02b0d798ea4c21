// Take-over order: the connection accepted last wins, whatever order the client threads run in.
#include "http/takeover.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/relay_context.h"

namespace {

TEST(Takeover, EarlierConnectionWhoseThreadRunsLateNeverTakesTheStream) {
    // The fault: tickets were drawn when a thread reached its take-over, so a connection
    // accepted before the player, but scheduled after it, took the stream from it.
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    RelayContext ctx;
    ctx.stop.store(STOP_DONE);  // no holder yet

    // Connection 7 (the player, accepted last) is scheduled first and becomes the holder.
    ASSERT_TRUE(takeover_ticket(&ctx, 7));
    ASSERT_EQ(takeover_claim(&ctx, 7, pair[0]), TakeoverResult::Claimed);
    ASSERT_TRUE(takeover_still_latest(&ctx, 7));
    ctx.stop.store(STOP_RUNNING);

    // Connections 3 and 6, accepted earlier, only now reach their take-over.
    for (uint32_t older : {6u, 3u}) {
        EXPECT_FALSE(takeover_ticket(&ctx, older)) << older;
        EXPECT_EQ(takeover_claim(&ctx, older, pair[0]), TakeoverResult::Superseded) << older;
    }
    EXPECT_EQ(ctx.stop.load(), STOP_RUNNING) << "the holder was disturbed";
    EXPECT_TRUE(takeover_still_latest(&ctx, 7));
    close(pair[0]);
    close(pair[1]);
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

}  // namespace
