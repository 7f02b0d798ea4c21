// The --events file: one flushed line per received datagram and per session start or end.
#pragma once

#include <cstdio>
#include <string>

namespace upsim {

class EventLog {
  public:
    EventLog() = default;
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;
    ~EventLog();

    bool open(const std::string& path);  // false if the file cannot be opened
    bool enabled() const { return fp_ != nullptr; }
    // Writes "<monotonic_ms> <peer> <text>\n" and flushes.
    void write(const std::string& peer, const std::string& text);

  private:
    FILE* fp_ = nullptr;
};

// Bytes of a stream name as one log token: spaces and unprintable bytes become \xNN.
std::string printable_token(const std::string& s);

}  // namespace upsim
