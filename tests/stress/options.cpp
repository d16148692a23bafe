#include "options.h"

#include <chrono>
#include <cstdlib>
#include <stdexcept>

namespace stress {
namespace {

bool takeValue(const std::string& arg, const std::string& name, std::string& value) {
    const std::string prefix = "--" + name + "=";
    if (arg.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    value = arg.substr(prefix.size());
    return true;
}

template <typename T>
T number(const std::string& text, const std::string& what) {
    try {
        size_t used = 0;
        const double parsed = std::stod(text, &used);
        if (used != text.size() || parsed < 0) {
            throw std::invalid_argument(what);
        }
        return static_cast<T>(parsed);
    } catch (const std::logic_error&) {
        throw std::invalid_argument("stress: cannot read " + what + " from '" + text + "'");
    }
}

uint64_t seedNumber(const std::string& text) {
    try {
        size_t used = 0;
        const unsigned long long parsed = std::stoull(text, &used);
        if (used != text.size()) {
            throw std::invalid_argument(text);
        }
        return parsed;
    } catch (const std::logic_error&) {
        throw std::invalid_argument("stress: cannot read the seed from '" + text + "'");
    }
}

}  // namespace

Options parseOptions(const std::vector<std::string>& args) {
    Options options;
    bool seeded = false;
    if (const char* env = std::getenv("QUENOR_STRESS_SEED")) {
        options.seed = seedNumber(env);
        seeded = true;
    }
    if (const char* env = std::getenv("QUENOR_STRESS_SECONDS")) {
        options.seconds = number<double>(env, "QUENOR_STRESS_SECONDS");
    }
    if (const char* env = std::getenv("QUENOR_STRESS_THREADS")) {
        options.appThreads = number<int>(env, "QUENOR_STRESS_THREADS");
    }
    for (const std::string& arg : args) {
        std::string value;
        if (takeValue(arg, "seed", value)) {
            options.seed = seedNumber(value);
            seeded = true;
        } else if (takeValue(arg, "seconds", value)) {
            options.seconds = number<double>(value, "--seconds");
        } else if (takeValue(arg, "threads", value)) {
            options.appThreads = number<int>(value, "--threads");
        } else if (takeValue(arg, "devices", value)) {
            options.devices = number<int>(value, "--devices");
        } else {
            throw std::invalid_argument("stress: unknown argument '" + arg + "'");
        }
    }
    if (options.appThreads < 1 || options.devices < 1 || options.devices > 16) {
        throw std::invalid_argument("stress: need 1+ threads and 1 to 16 devices");
    }
    if (!seeded) {
        options.seed =
            static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    }
    return options;
}

int slowdown() {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    return 4;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
    return 4;
#else
    return 1;
#endif
#else
    return 1;
#endif
}

}  // namespace stress
