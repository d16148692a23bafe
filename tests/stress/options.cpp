#include "options.h"

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace stress {
namespace {

// The seed is a whole number; every other value any number from 0 up.
template <typename T>
T number(const std::string& text, const std::string& what) {
    try {
        size_t used = 0;
        if (std::is_same<T, uint64_t>::value) {
            const auto parsed = static_cast<T>(std::stoull(text, &used));
            if (used == text.size()) {
                return parsed;
            }
        } else {
            const double parsed = std::stod(text, &used);
            if (used == text.size() && parsed >= 0) {
                return static_cast<T>(parsed);
            }
        }
    } catch (const std::logic_error&) {
    }
    throw std::invalid_argument("stress: cannot read " + what + " from '" + text + "'");
}

}  // namespace

Options parseOptions(const std::vector<std::string>& args) {
    Options options;
    bool seeded = false;
    // Sets option `name`; false for a name it does not know.
    const auto take = [&](const std::string& name, const std::string& value,
                          const std::string& what) {
        if (name == "seed") {
            options.seed = number<uint64_t>(value, "the seed");
            seeded = true;
        } else if (name == "seconds") {
            options.seconds = number<double>(value, what);
        } else if (name == "threads") {
            options.appThreads = number<int>(value, what);
        } else if (name == "devices") {
            options.devices = number<int>(value, what);
        } else {
            return false;
        }
        return true;
    };
    for (const auto& env : {std::make_pair("seed", "QUENOR_STRESS_SEED"),
                            std::make_pair("seconds", "QUENOR_STRESS_SECONDS"),
                            std::make_pair("threads", "QUENOR_STRESS_THREADS")}) {
        if (const char* value = std::getenv(env.second)) {
            take(env.first, value, env.second);
        }
    }
    for (const std::string& arg : args) {
        const size_t equals = arg.find('=');
        if (arg.compare(0, 2, "--") != 0 || equals == std::string::npos ||
            !take(arg.substr(2, equals - 2), arg.substr(equals + 1), arg.substr(0, equals))) {
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
#endif
#endif
    return 1;
}

}  // namespace stress
