// The shared command-line loop and value readers of the helper programs.
#include "cli.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace tools {

bool parse_command_line(int argc, char** argv, const CommandLine& line, int& exit_code) {
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(line.help, stdout);
            exit_code = 0;
            return false;
        }
        if (line.flag && line.flag(arg))
            continue;
        std::string_view name = arg;
        std::string_view value;
        bool have_value = false;
        if (size_t eq = arg.find('='); arg.substr(0, 2) == "--" && eq != std::string_view::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            have_value = true;
        }
        if (!line.known(name)) {
            std::fprintf(stderr, "%s: unknown option %s (see --help)\n", line.program, argv[i]);
            exit_code = 2;
            return false;
        }
        if (!have_value) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s: %s needs a value\n", line.program, argv[i]);
                exit_code = 2;
                return false;
            }
            value = argv[++i];
        }
        if (!line.apply(name, value)) {
            std::fprintf(stderr, "%s: bad value for %.*s: %.*s\n", line.program,
                         static_cast<int>(name.size()), name.data(), static_cast<int>(value.size()),
                         value.data());
            exit_code = 2;
            return false;
        }
    }
    return true;
}

void usage_error(const char* program, const char* message, int& exit_code) {
    std::fprintf(stderr, "%s: %s\n", program, message);
    exit_code = 2;
}

bool parse_text(std::string_view s, std::string& out) {
    out = std::string(s);
    return !s.empty();
}

bool parse_double(std::string_view s, double& out) {
    if (s.empty())
        return false;
    std::string str(s);
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(str.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < 0)
        return false;
    out = v;
    return true;
}

bool parse_percent(std::string_view s, double& out) {
    return parse_double(s, out) && out <= 100;
}

bool WholeNumbers::u64(std::string_view s, uint64_t& out) const {
    if (s.empty() || s[0] == '-' || (s[0] == '+' && !allow_plus_))
        return false;
    std::string str(s);
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(str.c_str(), &end, 10);
    if (errno != 0 || *end != '\0')
        return false;
    out = v;
    return true;
}

bool WholeNumbers::u32(std::string_view s, uint32_t& out) const {
    uint64_t v = 0;
    if (!u64(s, v) || v > UINT32_MAX)
        return false;
    out = static_cast<uint32_t>(v);
    return true;
}

bool WholeNumbers::ms(std::string_view s, int64_t& out, uint64_t max_ms) const {
    uint64_t v = 0;
    if (!u64(s, v) || v > max_ms)
        return false;
    out = static_cast<int64_t>(v);
    return true;
}

bool WholeNumbers::port(std::string_view s, int& out) const {
    uint32_t p = 0;
    if (!u32(s, p) || p == 0 || p > 65535)
        return false;
    out = static_cast<int>(p);
    return true;
}

bool WholeNumbers::burst(std::string_view s, double& percent, uint32_t& len) const {
    size_t colon = s.find(':');
    if (colon == std::string_view::npos)
        return false;
    return parse_percent(s.substr(0, colon), percent) && u32(s.substr(colon + 1), len) && len > 0;
}

}  // namespace tools
