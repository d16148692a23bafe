// Runs a fuzz target's oracle over saved inputs without libFuzzer, so that the
// ordinary test suite holds the library to every input of the corpus. Each
// argument is a directory of inputs, read in name order; an input that breaks
// an oracle aborts the run, after the file's name was printed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {  // throws for a path that is no directory
        inputs.insert(inputs.end(), fs::directory_iterator(argv[i]), fs::directory_iterator());
    }
    std::sort(inputs.begin(), inputs.end());
    for (const fs::path& input : inputs) {
        std::fprintf(stderr, "%s\n", input.c_str());
        std::ifstream file(input, std::ios::binary);
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
        if (!file) {
            return 1;  // named above
        }
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::printf("%zu inputs replayed\n", inputs.size());
    return inputs.empty() ? 1 : 0;
}
