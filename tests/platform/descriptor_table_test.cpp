// SPDX-License-Identifier: Apache-2.0
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include <gtest/gtest.h>

#include "platform/descriptor_table.h"

using quorvex::platform::PrivateDescriptorTable;

namespace {
bool isOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }
} // namespace

// The teardown this serves closes a descriptor, and later closes the same
// number again: whoever was given that number in between must keep it.
TEST(PrivateDescriptorTable, ANumberClosedTwiceStaysTakenUntilClosedOnceInTheProcessTable) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    int closedAgain = 0;
    std::vector<int> closed;
    std::thread teardown([&] {
        PrivateDescriptorTable table;
        ASSERT_TRUE(table.take());
        close(ends[0]);
        closedAgain = close(ends[0]) == -1 ? errno : 0;
        closed = table.closedSinceTaken();
    });
    teardown.join();
    EXPECT_EQ(closedAgain, EBADF) << "the second close found something open in the thread's own table";
    // Still the pipe in the process's table: no other thread could have been given the number.
    ASSERT_TRUE(isOpen(ends[0]));
    ASSERT_EQ(write(ends[1], "q", 1), 1);
    char got = 0;
    EXPECT_EQ(read(ends[0], &got, 1), 1);
    ASSERT_NE(std::find(closed.begin(), closed.end(), ends[0]), closed.end()) << "the closed read end is not reported";
    EXPECT_EQ(std::find(closed.begin(), closed.end(), ends[1]), closed.end()) << "an open descriptor is reported closed";
    for (int fd : closed) close(fd);
    EXPECT_FALSE(isOpen(ends[0]));
    close(ends[1]);
}
