// The hand-over of a player's connection between the event loop and the sender.
#include "core/players.h"

bool player_take(PlayerSlot* slot) {
    int idle = PLAYER_IDLE;
    // Acquire: the loop's filling of the slot, or the sender's own last write, is seen.
    return slot->state.compare_exchange_strong(idle, PLAYER_WRITING, std::memory_order_acquire,
                                               std::memory_order_relaxed);
}

bool player_put(PlayerSlot* slot, bool gone, PlayerEnd why) {
    if (!gone) {
        int writing = PLAYER_WRITING;
        // Release: the pending bytes and counts of this write go with the slot.
        if (slot->state.compare_exchange_strong(writing, PLAYER_IDLE, std::memory_order_release,
                                                std::memory_order_relaxed))
            return false;
        // The loop recalled it meanwhile.
        why = END_RECALLED;
    }
    slot->end.store(why, std::memory_order_relaxed);
    // Release: `end` and everything this thread wrote to the slot are the loop's now.
    slot->state.store(PLAYER_HANDED_BACK, std::memory_order_release);
    return true;
}

bool player_recall(PlayerSlot* slot) {
    for (;;) {
        int s = slot->state.load(std::memory_order_acquire);
        if (s == PLAYER_IDLE) {
            // Acq_rel: the sender's last write to the slot is seen.
            if (slot->state.compare_exchange_strong(s, PLAYER_HANDED_BACK,
                                                    std::memory_order_acq_rel)) {
                slot->end.store(END_RECALLED, std::memory_order_relaxed);
                return true;
            }
        } else if (s == PLAYER_WRITING) {
            if (slot->state.compare_exchange_strong(s, PLAYER_RECALLED, std::memory_order_acq_rel))
                return false;
        } else {
            // RECALLED: the sender hands it back soon; HANDED_BACK or FREE: the loop's already.
            return s != PLAYER_RECALLED;
        }
        // The sender took or put it back between the load and the swap: look again. Each
        // retry follows one step of the sender's, so this ends.
    }
}

int players_live(const PlayerTable* table) {
    int n = 0;
    for (const PlayerSlot& slot : table->slots) {
        const int s = slot.state.load(std::memory_order_relaxed);
        n += s == PLAYER_IDLE || s == PLAYER_WRITING;
    }
    return n;
}
