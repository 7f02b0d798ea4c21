// Entry point of upstream-sim: loads the files, serves relays until a signal, prints counters.
#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "clip.h"
#include "common/run_signals.h"
#include "counters.h"
#include "event_log.h"
#include "options.h"
#include "server.h"

int main(int argc, char** argv) {
    int exit_code = 0;
    std::optional<upsim::Options> parsed = upsim::parse_options(argc, argv, exit_code);
    if (!parsed)
        return exit_code;
    const upsim::Options& options = *parsed;

    // Each file is read once however many names serve it.
    std::map<std::string, std::unique_ptr<upsim::Clip>> files;
    auto load = [&](const std::string& path) -> const upsim::Clip* {
        auto& slot = files[path];
        if (!slot) {
            auto clip = std::make_unique<upsim::Clip>();
            std::string error;
            if (!clip->load(path, options.cbr_kbps, options.no_pcr_kbps, error)) {
                std::fprintf(stderr, "upstream-sim: %s\n", error.c_str());
                return nullptr;
            }
            slot = std::move(clip);
        }
        return slot.get();
    };
    std::map<std::string, const upsim::Clip*> clips;
    for (const auto& [name, path] : options.streams) {
        const upsim::Clip* clip = load(path);
        if (!clip)
            return 1;
        clips[name] = clip;
    }
    const upsim::Clip* fallback = nullptr;
    if (!options.default_file.empty() && !(fallback = load(options.default_file)))
        return 1;

    upsim::EventLog events;
    if (!options.events_path.empty() && !events.open(options.events_path)) {
        std::fprintf(stderr, "upstream-sim: cannot open events file %s\n",
                     options.events_path.c_str());
        return 1;
    }

    upsim::Counters counters;
    upsim::Server server(options, clips, fallback, events, counters);
    if (int status = tools::open_and_run("upstream-sim", server))
        return status;
    counters.print(stderr);
    return 0;
}
