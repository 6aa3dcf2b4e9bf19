// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TESTS_WINDOWS_POSIX_COMPAT_H
#define QUORVEX_TESTS_WINDOWS_POSIX_COMPAT_H

// The POSIX calls the shared test support makes that MinGW lacks, so that
// its sources build unchanged for Windows.
#include <direct.h>
#include <io.h>

#include <string.h>

inline char* mkdtemp(char* pattern) {
    if (_mktemp_s(pattern, strlen(pattern) + 1) != 0 || _mkdir(pattern) != 0) return nullptr;
    return pattern;
}

#endif
