// Flow control driven through the intake and the per-pass checks: suspend, release, keepalive
// during suspension.
#include "intake/flow_control.h"

#include <gtest/gtest.h>

#include <map>

#include "intake_harness.h"

namespace {

using intaketest::count_of;
using intaketest::Harness;

TEST(FlowControlTest, SuspendFromBacklog4721EveryThirtiethAfter) {
    Harness h;
    h.playing_at(2000);
    h.send(6720);
    h.drain();
    EXPECT_TRUE(h.sent(RELAY_MSG_SUSPEND).empty());
    for (uint32_t s = 6721; s <= 6751; ++s)
        h.send(s);  // the 1st to the 31st queue-full
    h.send(6760);   // newest, leaving placeholders 6752..6759
    h.send(6755);   // late, with a queue-full backlog: neither checked nor counted
    h.drain();
    EXPECT_EQ(h.sent(RELAY_MSG_SUSPEND).size(), 2u);
    EXPECT_EQ(count_of(h.log.text(), "queue full, sending suspend (diff 4721)\n"), 1);
    EXPECT_EQ(count_of(h.log.text(), "queue full, sending suspend (diff 4751)\n"), 1);
    EXPECT_EQ(h.in->flow.suspend_count, 32);
}

// Suspended with the sender's packet at 2000 and the newest at 2000 + backlog.
void suspended_with_backlog(Harness& h, uint32_t backlog) {
    h.store(2000);
    h.store(2000 + backlog);
    h.sender_at(2000);
    h.in->flow.suspend_count = 1;
}

TEST(FlowControlTest, ReleaseEveryThirtiethCheckKeepaliveEveryFiftiethPass) {
    Harness at, h;
    suspended_with_backlog(at, 3120);  // not yet below 3120
    flow_pass_checks(at.in, 1);
    suspended_with_backlog(h, 3119);
    std::map<RelayMessageKind, std::vector<int>> sent_on;
    for (int pass = 1; pass <= 101; ++pass) {
        flow_pass_checks(h.in, pass);
        for (const auto& d : h.sent())
            sent_on[classify_relay_message(d.data(), d.size())].push_back(pass);
    }
    EXPECT_TRUE(at.sent().empty());
    EXPECT_EQ(sent_on, (std::map<RelayMessageKind, std::vector<int>>{
                           {RELAY_MSG_RELEASE, {1, 31, 61, 91}},
                           {RELAY_MSG_KEEPALIVE_SUSPENDED, {50, 100}}}));
    EXPECT_EQ(count_of(h.log.text(), "queue decreased, sending release\n"), 4);
    EXPECT_EQ(
        count_of(h.log.text(), "sending keepalive in suspend, curseq=5119, sendpos.seqnum=2000\n"),
        2);
}

TEST(FlowControlTest, SuspensionEndsOnlyWithADatagramAfterAReleaseCheck) {
    Harness h;
    suspended_with_backlog(h, 1000);
    h.send(2500);  // a re-sent lost packet before any release check
    h.drain();
    EXPECT_EQ(h.in->flow.suspend_count, 1);
    flow_pass_checks(h.in, 1);  // no keepalive during suspension on this pass
    EXPECT_EQ(h.sent(RELAY_MSG_RELEASE).size(), 1u);
    h.send(3001);
    h.drain();
    EXPECT_EQ(h.in->flow.suspend_count, 0);
    flow_pass_checks(h.in, 50);
    EXPECT_TRUE(h.sent().empty());  // neither keepalive nor release once flowing
}

}  // namespace
