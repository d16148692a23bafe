// quenor-list: lists the HID devices the library sees, one line per usage pair, and
// with --watch follows their arrivals and removals until interrupted.
//
//   quenor-list [--match vid=0x1209,pid=0xE1E1,page=0xFF00,usage=1] [--watch] [--json]
//               [--open] [--simulate]
//
// Text lines: path, #pair index, vendor:product, usage page:usage, manufacturer,
// product, serial, transport. Under --watch the devices present come first as "="
// lines, then arrivals as "+" and removals as "-" lines. --json writes one JSON array
// (listing) or one JSON object per line (--watch, each with an "event": "present",
// "arrival" or "removal"). --open also tries to open each listed entry and says whether
// it opens or why not (an Input Monitoring denial, say). Finding no device is said on
// standard error. --simulate plugs a few virtual gadgets (only where the virtual
// platform is), and under --watch unplugs and replugs one; QUENOR_LIST_ECHO_MANUFACTURER,
// _PRODUCT and _SERIAL, when set, replace the echo gadget's strings (tests give it text
// that output must escape). A bad argument is named in a one-line error (exit status 2).
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <pthread.h>

#include <quenor/mac/macdevicemonitor.h>
#include <quenor/mac/macnativedeviceenumerator.h>

#include "output.h"
#include "simulation.h"

namespace {

struct Options {
    HidDeviceMatch match;
    std::string matchText;  // as given, for messages
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
        "  --watch       list the devices present (=), then follow arrivals (+) and\n"
        "                removals (-) until interrupted\n"
        "  --json        JSON: an array, or with --watch one object per line, whose \"event\"\n"
        "                is \"present\", \"arrival\" or \"removal\"\n"
        "  --open        try to open each listed device and say why one does not open\n"
        "  --simulate    plug a few virtual gadgets first (virtual platform only)\n",
        to);
}

// A 16-bit ID: decimal or 0x hex. Empty when it is one, else what is wrong with it.
std::string parseNumber(const std::string& text, uint16_t& value) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    const char* allowed = hex ? "0123456789abcdefABCDEF" : "0123456789";
    if (digits.empty() || digits.find_first_not_of(allowed) != std::string::npos) {
        return "\"" + text + "\" is not a number (decimal, or hex with 0x)";
    }
    const unsigned long long parsed = std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
    if (digits.size() > 6 || parsed > 0xFFFF) {
        return text + " is out of range (0 to 0xFFFF)";
    }
    value = static_cast<uint16_t>(parsed);
    return "";
}

// Fills `match` from "key=value,key=value". Empty when the text is good, else what is wrong,
// naming the part.
std::string parseMatch(const std::string& text, HidDeviceMatch& match) {
    if (text.empty()) {
        return "needs at least one key=value";
    }
    size_t start = 0;
    while (start <= text.size()) {
        const size_t comma = std::min(text.find(',', start), text.size());
        const std::string item = text.substr(start, comma - start);
        start = comma + 1;
        const size_t equals = item.find('=');
        const std::string key = item.substr(0, equals);
        if (item.empty()) {
            return "an empty item between commas";
        }
        std::optional<uint16_t>* field = key == "vid"     ? &match.vendorId
                                         : key == "pid"   ? &match.productId
                                         : key == "page"  ? &match.usagePage
                                         : key == "usage" ? &match.usage
                                                          : nullptr;
        if (field == nullptr) {
            return "unknown key \"" + key + "\" (keys: vid, pid, page, usage)";
        }
        if (equals == std::string::npos || equals + 1 == item.size()) {
            return "\"" + key + "\" needs a value, e.g. " + key + "=0x1209";
        }
        if (field->has_value()) {
            return "\"" + key + "\" is given twice";
        }
        uint16_t value = 0;
        const std::string problem = parseNumber(item.substr(equals + 1), value);
        if (!problem.empty()) {
            return problem;
        }
        *field = value;
    }
    return "";
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
        } else if (arg == "--match") {
            if (i + 1 == argc) {
                std::fputs(
                    "quenor-list: --match needs a value, e.g. --match vid=0x1209,page=0xFF00\n",
                    stderr);
                return 1;
            }
            options.matchText = argv[++i];
            const std::string problem = parseMatch(options.matchText, options.match);
            if (!problem.empty()) {
                std::fprintf(stderr, "quenor-list: --match %s: %s\n", options.matchText.c_str(),
                             problem.c_str());
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
    }
    if (devices.count() == 0) {
        const std::string what = options.matchText.empty()
                                     ? std::string("no HID device found")
                                     : "no HID device matches --match " + options.matchText;
        std::fprintf(stderr, "quenor-list: %s%s\n", what.c_str(),
                     options.simulate ? "" : noDeviceHint());
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
            // Devices there at start, then arrivals and removals.
            const bool removal = notice.kind == HidDeviceNotice::Kind::Removal;
            const char* event = removal ? "removal" : notice.present ? "present" : "arrival";
            const char mark = removal ? '-' : notice.present ? '=' : '+';
            std::lock_guard<std::mutex> lock(output);
            if (options.json) {
                std::printf("%s\n", jsonObject(notice.entry, event).c_str());
            } else {
                std::printf("%c %s\n", mark, textLine(notice.entry).c_str());
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
