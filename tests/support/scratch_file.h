// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TESTS_SUPPORT_SCRATCH_FILE_H
#define QUORVEX_TESTS_SUPPORT_SCRATCH_FILE_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <set>
#include <string>

namespace quorvex::test {

// A scratch file's path that carries this process's id, removed when the test
// program ends: ctest runs tests side by side, each in a process of its own,
// and a shared name would be rewritten under another test's reader.
inline std::string scratchPath(const std::string& name) {
    struct RemovedAtExit {
        std::mutex lock;
        std::set<std::string> paths;
        ~RemovedAtExit() {
            for (const std::string& path : paths) std::remove(path.c_str());
        }
    };
    static RemovedAtExit written;
    std::string path = ::testing::TempDir() + "quorvex-" + std::to_string(::getpid()) + "-" + name;
    std::lock_guard<std::mutex> guard(written.lock);
    written.paths.insert(path);
    return path;
}

} // namespace quorvex::test

#endif
