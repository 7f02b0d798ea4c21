// The paced sender (placeholder until the sender lands: returns at once).
#include "buffer/sender.h"

void* sender_thread(void*) { return nullptr; }
