// Failure reporting shared by the fuzz targets. The message goes to the sanitizer report
// stream as well as to stderr, so that it survives runs with -close_fd_mask=2.
#pragma once

#include <sanitizer/common_interface_defs.h>

#include <cstdio>
#include <cstdlib>
#include <string>

[[noreturn]] inline void fuzz_fail(const char* target, const char* what) {
    const std::string line = std::string(target) + ": " + what;
    std::fprintf(stderr, "%s\n", line.c_str());
    __sanitizer_report_error_summary(line.c_str());
    std::abort();
}
