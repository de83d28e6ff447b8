// Command-line driver for the delta engine, for tests and experiments:
//   delta_tool diff OLD NEW [--store-limit N] [--effort-limit N] [--level 0..4] [--stats] [--path P] > DELTA
//   delta_tool patch OLD DELTA                                                    > NEW
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "delta/search/diff.h"
#include "delta/raw/patch.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

using namespace quorvane;

namespace {

bool read_file(const char* path, std::vector<std::uint8_t>* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

int usage() {
    std::cerr << "usage: delta_tool diff OLD NEW [--store-limit N] [--effort-limit N] [--level 0..4] [--stats] [--path portable|avx2|avx512]\n"
                 "       delta_tool patch OLD DELTA\n";
    return 2;
}

int write_result(ByteVector* result) {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);  // text mode would write each 0A byte as 0D 0A
#endif
    const std::size_t written = std::fwrite(result->data, 1, static_cast<std::size_t>(result->length), stdout);
    const bool ok = written == result->length;
    byte_vector_free(result);
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return usage();
    const std::string command = argv[1];
    std::vector<std::uint8_t> first, second;
    if (!read_file(argv[2], &first) || !read_file(argv[3], &second)) {
        std::cerr << "delta_tool: cannot read " << (first.empty() ? argv[2] : argv[3]) << "\n";
        return 1;
    }
    const ByteVector a = byte_vector_view(first.data(), first.size());
    const ByteVector b = byte_vector_view(second.data(), second.size());

    if (command == "patch") {
        if (argc != 4) return usage();
        PatchError error;
        ByteVector* result = apply_delta(&a, &b, &error);
        if (result == nullptr) {
            std::cerr << "delta_tool: invalid delta at byte " << error.offset << ": " << patch_failure_text(error.failure) << "\n";
            return 1;
        }
        return write_result(result);
    }
    if (command != "diff") return usage();

    long store_limit = 2147483647, effort_limit = 10000, level = 0;
    bool stats = false;
    for (int i = 4; i < argc; i += 2) {
        if (std::strcmp(argv[i], "--stats") == 0) {
            stats = true;
            --i;
            continue;
        }
        if (i + 1 >= argc) return usage();
        if (std::strcmp(argv[i], "--path") == 0) {  // portable, avx2 or avx512 (same bytes, for timing)
            bool known = false;
            for (const DiffPath path : {DIFF_PATH_PORTABLE, DIFF_PATH_AVX2, DIFF_PATH_AVX512}) {
                if (std::strcmp(argv[i + 1], diff_path_name(path)) == 0) known = diff_set_path(path);
            }
            if (!known) return usage();
            continue;
        }
        const long value = std::strtol(argv[i + 1], nullptr, 10);
        if (std::strcmp(argv[i], "--store-limit") == 0) store_limit = value;
        else if (std::strcmp(argv[i], "--effort-limit") == 0) effort_limit = value;
        else if (std::strcmp(argv[i], "--level") == 0) level = value;
        else return usage();
    }
    if (level < 0 || level > 4 || first.size() > DIFF_MAX_LENGTH || second.size() > DIFF_MAX_LENGTH) return usage();

    DiffStatistics statistics;
    DiffObserver observer;
    observer.statistics = &statistics;
    DeltaWriter* writer = delta_writer_new(&a, &b);
    const int code = diff_ranges(&a, 0, static_cast<std::int32_t>(a.length), &b, 0, static_cast<std::int32_t>(b.length),
                                 writer, static_cast<std::int32_t>(store_limit), static_cast<std::int32_t>(effort_limit),
                                 static_cast<int>(level), &observer);
    if (stats) {
        std::cerr << "searches " << statistics.searches << ", snake splits " << statistics.snake_splits
                  << ", progress cuts " << statistics.progress_cuts << ", met forward " << statistics.met_forward
                  << ", met backward " << statistics.met_backward << ", boxes searched " << statistics.box_searched
                  << ", halved " << statistics.box_halved << ", given up " << statistics.box_given_up
                  << ", wave bound hits " << statistics.wave_bound_hits << "\n";
    }
    bool no_memory = false;
    ByteVector* result = select_diff_result(code, writer, &b, &no_memory);
    delta_writer_free(writer);
    if (result == nullptr) {
        std::cerr << "delta_tool: diff failed (code " << code << ")\n";
        return 1;
    }
    return write_result(result);
}
