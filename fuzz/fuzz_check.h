// Failure reporting shared by the fuzz targets. The message goes to the sanitizer report
// stream as well as to stderr, so that it survives runs with -close_fd_mask=2.
#pragma once

// Without a sanitizer (the plain replay of the corpora in the engine tests) there is no such
// stream, and stderr alone carries the message.
#if defined(__SANITIZE_ADDRESS__)
#define QUORVANE_FUZZ_SANITIZER_REPORT 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUORVANE_FUZZ_SANITIZER_REPORT 1
#endif
#endif

#ifdef QUORVANE_FUZZ_SANITIZER_REPORT
#include <sanitizer/common_interface_defs.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <string>

[[noreturn]] inline void fuzz_fail(const char* target, const char* what) {
    const std::string line = std::string(target) + ": " + what;
    std::fprintf(stderr, "%s\n", line.c_str());
#ifdef QUORVANE_FUZZ_SANITIZER_REPORT
    __sanitizer_report_error_summary(line.c_str());
#endif
    std::abort();
}
