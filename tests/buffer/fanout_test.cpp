// The sender's writes to players over loopback connections, and a connection's hand-over
// between the loop and the sender.
#include "buffer/fanout.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "core/players.h"
#include "core/stats.h"
#include "sender_test_support.h"
#include "support/fake_upstream.h"

namespace {

using sendertest::Rig;

// A TCP connection over loopback, as a player's is: {the relay's end, the player's end}, the
// player's with a small receive buffer, so that a player that stops reading soon stops taking.
std::pair<int, int> tcp_pair() {
    const int lsock = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = testsupport::loopback(0);
    EXPECT_EQ(bind(lsock, reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(listen(lsock, 1), 0);
    a = testsupport::loopback(testsupport::local_port(lsock));
    const int player = socket(AF_INET, SOCK_STREAM, 0);
    const int rcvbuf = 4096;
    setsockopt(player, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    EXPECT_EQ(connect(player, reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
    const int relay = accept(lsock, nullptr, nullptr);
    close(lsock);
    return {relay, player};
}

// A table with one seated player per connection, as the event loop fills it.
struct Players {
    PlayerTable table;
    Stats stats;
    std::vector<int> peers;  // the players' ends

    explicit Players(int max_players, int n, int sndbuf = 0) {
        table.max_players = max_players;
        for (int i = 0; i < n; ++i) {
            const auto [relay, player] = tcp_pair();
            if (sndbuf > 0)
                setsockopt(relay, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
            PlayerSlot& s = table.slots[i];
            s.fd = relay;
            if (max_players > 1)
                s.pending = static_cast<unsigned char*>(malloc(kPendingBytes));
            s.state = PLAYER_IDLE;
            peers.push_back(player);
        }
    }
    ~Players() {
        for (size_t i = 0; i < peers.size(); ++i) {
            close(table.slots[i].fd);
            free(table.slots[i].pending);
            if (peers[i] >= 0)
                close(peers[i]);
        }
    }
};

std::string chunk(int round, int datagrams = 10) {
    return sendertest::payload(static_cast<uint32_t>(round), 1316 * datagrams);
}

FanoutResult write_round(Players& p, int round, int64_t now_us, int datagrams = 10) {
    const std::string c = chunk(round, datagrams);
    return fanout_write(&p.table, reinterpret_cast<const unsigned char*>(c.data()),
                        static_cast<int>(c.size()), now_us, &p.stats);
}

// The third player never reads; rounds come every 50 ms of the clock. It is cut after two
// seconds of a slow stream, sooner when its bytes overflow.
TEST(Fanout, StalledPlayerIsGivenUpAndTheOthersGetEveryByte) {
    for (const int datagrams : {10, 1}) {
        SCOPED_TRACE(datagrams);
        Players p(4, 3, 16384);
        std::string got[2], want;
        int64_t now = 1000000;
        int cut_round = -1;
        for (int round = 0; round < 200 && cut_round < 0; ++round, now += 50000) {
            const FanoutResult r = write_round(p, round, now, datagrams);
            want += chunk(round, datagrams);
            for (int i = 0; i < 2; ++i)
                got[i] += Rig::drain(p.peers[i]);
            if (p.table.slots[2].state.load() == PLAYER_HANDED_BACK) {
                EXPECT_TRUE(r.handed_back);
                EXPECT_EQ(r.live, 2);
                EXPECT_FALSE(r.fault) << "too slow is no write fault";
                cut_round = round;
            }
        }
        ASSERT_GE(cut_round, 0) << "the stalled player was never cut";
        EXPECT_EQ(p.table.slots[2].end.load(), END_SLOW);
        // With a slow stream its bytes never overflow: it is cut for taking nothing, at its two
        // seconds (from the round its buffer stopped taking bytes).
        if (datagrams == 1) {
            EXPECT_GE(cut_round * 50000, kSlowPlayerUs) << "cut before its two seconds";
            EXPECT_LE(cut_round * 50000, kSlowPlayerUs + 1000000) << "cut late";
        }
        for (int i = 0; i < 2; ++i) {
            got[i] += Rig::drain(p.peers[i]);
            EXPECT_TRUE(got[i] == want)
                << "player " << i << " got " << got[i].size() << " of " << want.size() << " bytes";
        }
        EXPECT_EQ(p.table.slots[0].bytes.load(), want.size());
        EXPECT_EQ(p.stats.bytes_sent.load(), p.table.slots[0].bytes.load() +
                                                 p.table.slots[1].bytes.load() +
                                                 p.table.slots[2].bytes.load());
    }
}

TEST(Fanout, PlayerThatPausesLessThanTheBoundCatchesUpByteExact) {
    Players p(2, 1, 16384);
    std::string got, want;
    int64_t now = 1000000;
    for (int round = 0; round < 50; ++round, now += 50000) {
        write_round(p, round, now);
        want += chunk(round);
        if (round >= 10)  // half a second without reading first
            got += Rig::drain(p.peers[0]);
    }
    ASSERT_EQ(p.table.slots[0].state.load(), PLAYER_IDLE);
    EXPECT_EQ(p.table.slots[0].pending_len, 0) << "not caught up";
    EXPECT_TRUE(got == want) << got.size() << " of " << want.size();
}

TEST(Fanout, PlayerThatLeftIsHandedBackAndReportedOthersGoOn) {
    signal(SIGPIPE, SIG_IGN);  // as the daemon runs
    Players p(3, 2);
    close(p.peers[1]);
    p.peers[1] = -1;
    FanoutResult r = write_round(p, 0, 1000000);
    r = r.handed_back ? r : write_round(p, 1, 1050000);  // the first write may still be taken
    EXPECT_TRUE(r.handed_back);
    EXPECT_TRUE(r.fault);
    EXPECT_EQ(r.live, 1);
    EXPECT_EQ(p.table.slots[1].end.load(), END_LEFT);
    EXPECT_EQ(p.table.slots[0].state.load(), PLAYER_IDLE);
}

// -n 1: one blocking write, its result as write() gives it; a closed player ends the stream.
TEST(Fanout, LonePlayerIsWrittenAsBeforeAndItsLeavingEndsTheStream) {
    signal(SIGPIPE, SIG_IGN);
    Players p(1, 1);
    FanoutResult r = write_round(p, 0, 0);
    EXPECT_EQ(r.written, 1316 * 10);
    EXPECT_EQ(r.live, 1);
    EXPECT_EQ(Rig::drain(p.peers[0]), chunk(0));
    close(p.peers[0]);
    p.peers[0] = -1;
    r = write_round(p, 1, 0);
    r = r.live > 0 ? write_round(p, 2, 0) : r;
    EXPECT_EQ(r.written, -1);
    EXPECT_EQ(r.err, EPIPE);
    EXPECT_EQ(r.live, 0);
    EXPECT_TRUE(r.handed_back);
}

// The loop takes a connection back at once while nobody writes to it; during a write the
// sender hands it back when the write is over; a gone player is the loop's whatever happens.
TEST(Fanout, ConnectionChangesHandsThroughItsSlotWordOnly) {
    PlayerSlot slot;
    slot.state = PLAYER_IDLE;
    EXPECT_TRUE(player_recall(&slot));
    EXPECT_EQ(slot.state.load(), PLAYER_HANDED_BACK);
    EXPECT_EQ(slot.end.load(), END_RECALLED);

    slot.state = PLAYER_IDLE;
    ASSERT_TRUE(player_take(&slot));
    EXPECT_FALSE(player_take(&slot)) << "one writer at a time";
    EXPECT_FALSE(player_recall(&slot));  // mid-write: the sender hands it back
    EXPECT_EQ(slot.state.load(), PLAYER_RECALLED);
    EXPECT_TRUE(player_put(&slot, false, END_LEFT));
    EXPECT_EQ(slot.state.load(), PLAYER_HANDED_BACK);
    EXPECT_EQ(slot.end.load(), END_RECALLED);

    slot.state = PLAYER_IDLE;
    ASSERT_TRUE(player_take(&slot));
    EXPECT_FALSE(player_put(&slot, false, END_LEFT));
    EXPECT_EQ(slot.state.load(), PLAYER_IDLE);
    ASSERT_TRUE(player_take(&slot));
    EXPECT_TRUE(player_put(&slot, true, END_SLOW));
    EXPECT_EQ(slot.end.load(), END_SLOW);
    EXPECT_TRUE(player_recall(&slot)) << "already the loop's";
}

}  // namespace
