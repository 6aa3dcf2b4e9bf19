// SPDX-License-Identifier: Apache-2.0
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "platform/descriptor_table.h"

using quorvex::platform::runInPrivateDescriptorTable;

namespace {
bool isOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }
} // namespace

// The teardown this serves closes a descriptor, and later closes the same
// number again: a thread that opens a file in between must keep it.
TEST(PrivateDescriptorTable, ANumberClosedTwiceIsNobodyElsesUntilClosedOnceInTheProcessTable) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    std::mutex lock;
    std::condition_variable changed;
    bool openNow = false;
    int openedMeanwhile = -1;
    std::thread opener([&] {
        std::unique_lock<std::mutex> held(lock);
        changed.wait(held, [&] { return openNow; });
        openedMeanwhile = open("/dev/null", O_RDONLY | O_CLOEXEC);
        changed.notify_all();
    });
    int secondClose = 0;
    bool ran = runInPrivateDescriptorTable([&] {
        close(ends[0]);
        std::unique_lock<std::mutex> held(lock);
        openNow = true;
        changed.notify_all();
        changed.wait_for(held, std::chrono::seconds(10), [&] { return openedMeanwhile != -1; });
        secondClose = close(ends[0]) == -1 ? errno : 0;
    });
    {
        std::lock_guard<std::mutex> held(lock);
        openNow = true; // released without a copy too
    }
    changed.notify_all();
    opener.join();
    if (!ran) {
        close(openedMeanwhile);
        close(ends[0]);
        close(ends[1]);
    }
    if (!ran) GTEST_SKIP() << "this sandbox refuses a private descriptor table (unshare)";
    ASSERT_GE(openedMeanwhile, 0) << "the other thread could not open /dev/null";
    EXPECT_NE(openedMeanwhile, ends[0]) << "another thread was given the number while it was closed only in the copy";
    EXPECT_EQ(secondClose, EBADF) << "the second close found something open in the copy";
    EXPECT_TRUE(isOpen(openedMeanwhile)) << "the other thread's file was closed";
    EXPECT_FALSE(isOpen(ends[0])) << "what the copy closed is still open in the process's table";
    EXPECT_TRUE(isOpen(ends[1])) << "a descriptor the copy left alone was closed";
    close(openedMeanwhile);
    close(ends[1]);
}
