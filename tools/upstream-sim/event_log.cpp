// Writing the --events file.
#include "event_log.h"

#include <time.h>

#include <cinttypes>

namespace upsim {

EventLog::~EventLog() {
    if (fp_)
        std::fclose(fp_);
}

bool EventLog::open(const std::string& path) {
    fp_ = std::fopen(path.c_str(), "a");
    return fp_ != nullptr;
}

void EventLog::write(const std::string& peer, const std::string& text) {
    if (!fp_)
        return;
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    int64_t ms = static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
    std::fprintf(fp_, "%" PRId64 " %s %s\n", ms, peer.c_str(), text.c_str());
    std::fflush(fp_);
}

std::string printable_token(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c > 0x20 && c < 0x7f && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char buf[5];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        }
    }
    return out;
}

}  // namespace upsim
