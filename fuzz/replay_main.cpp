// The fuzz targets without libFuzzer: a plain main() that runs a target's
// LLVMFuzzerTestOneInput once on every file named on the command line, or found in a
// directory named there (the seed corpus, the saved regressions). Built with the ordinary
// compiler as part of the engine tests, so that every test run, the sanitizer one included,
// replays them; a failing input stops the run with the target's own report.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool replay(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "replay: cannot read %s\n", path.string().c_str());
        return false;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // A heap block of exactly the input's size, as libFuzzer hands it over.
    std::vector<std::uint8_t> input(bytes.begin(), bytes.end());
    input.shrink_to_fit();
    LLVMFuzzerTestOneInput(input.empty() ? nullptr : input.data(), input.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::filesystem::path> files;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path path(argv[i]);
        std::error_code error;
        if (std::filesystem::is_directory(path, error)) {
            for (const auto& entry : std::filesystem::directory_iterator(path)) {
                if (entry.is_regular_file()) files.push_back(entry.path());
            }
        } else {
            files.push_back(path);
        }
    }
    std::sort(files.begin(), files.end());
    if (files.empty()) {
        std::fprintf(stderr, "usage: %s FILE_OR_DIRECTORY...  (no inputs found)\n", argv[0]);
        return 2;
    }
    for (const auto& file : files) {
        if (!replay(file)) return 1;
    }
    std::printf("replayed %zu inputs\n", files.size());
    return 0;
}
