// quenor-list: lists the HID devices the library sees, one line per usage pair, and
// with --watch follows their arrivals and removals until interrupted.
//
//   quenor-list [--match vid=0x1209,pid=0xE1E1,page=0xFF00,usage=1] [--watch] [--json]
//               [--open] [--simulate]
//
// Text lines: path, #pair index, vendor:product, usage page:usage, manufacturer,
// product, serial, transport. --open also tries to open each listed entry and says
// whether it opens or why not (an Input Monitoring denial, say). Under --watch present devices come
// first, then "+" and "-" lines. --json writes one JSON array (listing) or one JSON object per line
// (--watch, each with an "event"). --simulate plugs a few virtual gadgets (only
// where the virtual platform is), and under --watch unplugs and replugs one.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include <pthread.h>

#include <quenor/mac/macdevicemonitor.h>
#include <quenor/mac/macnativedeviceenumerator.h>

#include "output.h"
#include "simulation.h"

namespace {

struct Options {
    HidDeviceMatch match;
    bool watch = false;
    bool json = false;
    bool open = false;
    bool simulate = false;
};

void usage(FILE* to) {
    std::fputs(
        "usage: quenor-list [--match SPEC] [--watch] [--json] [--open] [--simulate]\n"
        "  --match SPEC  only devices that match SPEC, comma-separated key=value pairs with\n"
        "                keys vid, pid, page, usage (decimal or 0x hex), e.g. "
        "vid=0x1209,page=0xFF00\n"
        "  --watch       list, then follow arrivals (+) and removals (-) until interrupted\n"
        "  --json        JSON: an array, or with --watch one object per line\n"
        "  --open        try to open each listed device and say why one does not open\n"
        "  --simulate    plug a few virtual gadgets first (virtual platform only)\n",
        to);
}

bool parseNumber(const std::string& text, uint16_t& value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    const unsigned long parsed = std::strtoul(text.c_str(), &end, 0);
    if (*end != '\0' || parsed > 0xFFFF || text[0] == '-') {
        return false;
    }
    value = static_cast<uint16_t>(parsed);
    return true;
}

bool parseMatch(const std::string& spec, HidDeviceMatch& match) {
    size_t start = 0;
    while (start <= spec.size()) {
        const size_t comma = std::min(spec.find(',', start), spec.size());
        const std::string item = spec.substr(start, comma - start);
        const size_t equals = item.find('=');
        uint16_t value = 0;
        if (equals == std::string::npos || !parseNumber(item.substr(equals + 1), value)) {
            return false;
        }
        const std::string key = item.substr(0, equals);
        if (key == "vid") {
            match.vendorId = value;
        } else if (key == "pid") {
            match.productId = value;
        } else if (key == "page") {
            match.usagePage = value;
        } else if (key == "usage") {
            match.usage = value;
        } else {
            return false;
        }
        start = comma + 1;
    }
    return true;
}

// 0: run; 1: finished with an error message; 2: --help.
int parse(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--watch") {
            options.watch = true;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--open") {
            options.open = true;
        } else if (arg == "--simulate") {
            options.simulate = true;
        } else if (arg == "--match" && i + 1 < argc) {
            if (!parseMatch(argv[++i], options.match)) {
                std::fprintf(stderr, "quenor-list: bad --match \"%s\"\n", argv[i]);
                usage(stderr);
                return 1;
            }
        } else if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 2;
        } else {
            std::fprintf(stderr, "quenor-list: unknown argument \"%s\"\n", arg.c_str());
            usage(stderr);
            return 1;
        }
    }
    return 0;
}

void list(const Options& options) {
    MacNativeDeviceEnumerator devices(options.match);
    if (options.json) {
        std::printf("[");
        const char* separator = "\n  ";
        for (const HidDeviceEntry& entry : devices.entries()) {
            const std::string object = options.open
                                           ? withOpenResult(jsonObject(entry), tryOpen(entry))
                                           : jsonObject(entry);
            std::printf("%s%s", separator, object.c_str());
            separator = ",\n  ";
        }
        std::printf("%s]\n", devices.count() ? "\n" : "");
    } else {
        for (const HidDeviceEntry& entry : devices.entries()) {
            const std::string verdict = options.open ? "  " + openText(tryOpen(entry)) : "";
            std::printf("%s%s\n", textLine(entry).c_str(), verdict.c_str());
        }
        if (devices.count() == 0) {
            std::fputs("quenor-list: no HID device found\n", stderr);
        }
    }
}

int watch(const Options& options, Simulation* simulation) {
    // Block the signals in every thread; this one takes them with sigwait.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    std::mutex output;
    MacDeviceMonitor monitor(
        [&](const HidDeviceNotice& notice) {
            const bool arrival = notice.kind == HidDeviceNotice::Kind::Arrival;
            std::lock_guard<std::mutex> lock(output);
            if (options.json) {
                std::printf("%s\n",
                            jsonObject(notice.entry, arrival ? "arrival" : "removal").c_str());
            } else {
                std::printf("%c %s\n", arrival ? '+' : '-', textLine(notice.entry).c_str());
            }
            std::fflush(stdout);
        },
        options.match);
    if (!monitor.start()) {
        std::fputs("quenor-list: cannot watch: the platform refused the notifications\n", stderr);
        return 1;
    }
    if (simulation != nullptr) {
        simulation->replugLater();
    }
    int received = 0;
    sigwait(&signals, &received);
    monitor.stop();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const int parsed = parse(argc, argv, options)) {
        return parsed == 2 ? 0 : 2;
    }
    std::unique_ptr<Simulation> simulation;
    if (options.simulate) {
        simulation = startSimulation();
        if (!simulation) {
            return 2;
        }
    }
    if (options.watch) {
        return watch(options, simulation.get());
    }
    list(options);
    return 0;
}
