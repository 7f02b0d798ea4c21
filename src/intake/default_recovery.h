// The default recovery: a loss scan over the ring's placeholders every kLossScanEvery newest
// datagrams, timed by the round trip of the last echo, and a short pause after each drain.
#pragma once

#include "intake/intake.h"

struct DefaultRecovery final : IntakeRecovery {
    int newest_count = 0;  // data datagrams that became the ring's newest packet

    bool before_store(Intake*, const PacketRing*, uint32_t, bool) override { return true; }
    void on_start(Intake*, const PacketSlot*) override {}
    void after_store(Intake* in, PacketRing* ring, uint32_t prev_newest, uint32_t s, bool stored,
                     bool started) override;
    void on_echo(Intake*, Timespec32) override {}
    void tick(Intake*) override {}
    int wait_ms(const Intake*, int longest_ms) const override { return longest_ms; }
    void final_line(Intake*) override {}
    bool pauses_after_drain() const override { return true; }
};
