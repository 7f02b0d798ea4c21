// The command-line loop and value readers that the helper programs under tools/ share.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

namespace tools {

// What one program's command line consists of.
struct CommandLine {
    const char* program;  // starts every error message, e.g. "lossy-link"
    const char* help;     // printed to stdout for --help or -h
    // Takes a bare flag (no value) and returns true, or returns false if name is no flag.
    // May be empty when the program has none.
    std::function<bool(std::string_view name)> flag;
    // Whether name is an option that takes a value.
    std::function<bool(std::string_view name)> known;
    // Stores one option's value; false when the value is bad.
    std::function<bool(std::string_view name, std::string_view value)> apply;
};

// Walks argv[1..]: --help / -h, flags, "--name=value" and "--name value". Returns true when
// every argument was taken; otherwise it has printed the help (exit_code 0) or an error to
// stderr (exit_code 2).
bool parse_command_line(int argc, char** argv, const CommandLine& line, int& exit_code);

// Prints "PROGRAM: message" to stderr and sets exit_code to 2; for checks after the loop.
void usage_error(const char* program, const char* message, int& exit_code);

// Any text but the empty one.
bool parse_text(std::string_view s, std::string& out);
// A finite number >= 0.
bool parse_double(std::string_view s, double& out);
// A number from 0 to 100.
bool parse_percent(std::string_view s, double& out);

// Readers of unsigned whole numbers. upstream-sim has always let a leading '+' through and
// lossy-link has not; each program keeps its own habit through allow_plus.
class WholeNumbers {
  public:
    explicit constexpr WholeNumbers(bool allow_plus) : allow_plus_(allow_plus) {}

    bool u64(std::string_view s, uint64_t& out) const;
    bool u32(std::string_view s, uint32_t& out) const;
    // Milliseconds, at most max_ms.
    bool ms(std::string_view s, int64_t& out, uint64_t max_ms) const;
    // A UDP port, 1 to 65535.
    bool port(std::string_view s, int& out) const;
    // "P:LEN": a percentage and a burst length of at least 1.
    bool burst(std::string_view s, double& percent, uint32_t& len) const;

  private:
    bool allow_plus_;
};

}  // namespace tools
