// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <random>
#include <unordered_set>
#include <vector>

#include "transport/conn/pointer_set.h"

using quorvex::transport::detail::PointerSet;

// Connections come and go in any order: every removal must leave every other
// member findable (a wrong shift loses one, a missing shift hides one).
TEST(PointerSet, AgreesWithAReferenceSetThroughRandomComingsAndGoings) {
    std::vector<int> objects(600);
    PointerSet<int> set;
    std::unordered_set<int*> reference;
    std::mt19937 random(7);
    for (int step = 0; step < 50000; ++step) {
        int* item = &objects[random() % objects.size()];
        if (random() % 3 == 0) {
            set.erase(item);
            reference.erase(item);
        } else {
            set.insert(item);
            reference.insert(item);
        }
        if (step % 997 == 0) {
            for (int& object : objects) ASSERT_EQ(set.contains(&object), reference.count(&object) == 1) << "step " << step;
        }
    }
    EXPECT_EQ(set.size(), reference.size());
    for (int* item : reference) set.erase(item);
    EXPECT_EQ(set.size(), 0u);
    EXPECT_FALSE(set.contains(&objects[0]));
    EXPECT_FALSE(set.contains(nullptr));
}
