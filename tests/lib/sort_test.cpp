#include "lib/sort.h"

#include <algorithm>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct tWide {
    int key;
    char pad[7];  // 11 bytes in all: swapped four bytes at a time, then the rest
} __attribute__((packed));

int ByScore(void *context, const void *a, const void *b) {
    const int *score = static_cast<const int *>(context);
    int x, y;
    memcpy(&x, a, 4);
    memcpy(&y, b, 4);
    return score[x] - score[y];
}

int ByWideKey(void *, const void *a, const void *b) {
    tWide x, y;
    memcpy(&x, a, sizeof x);
    memcpy(&y, b, sizeof y);
    return x.key - y.key;
}

int IntCompare(const void *a, const void *b) { return *(const int *)a - *(const int *)b; }

}  // namespace

TEST(Sort, ShellSortUsesTheContext) {
    std::mt19937 rng(7);
    for (size_t n : {0, 1, 2, 3, 17, 100}) {
        std::vector<int> ids(n), score(n);
        for (size_t i = 0; i < n; i++) {
            ids[i] = (int)i;
            score[i] = (int)(rng() % 50);
        }
        ShellSort(score.data(), ids.data(), n, sizeof(int), ByScore);
        for (size_t i = 1; i < n; i++) ASSERT_LE(score[ids[i - 1]], score[ids[i]]) << n;
        std::vector<int> sorted = ids;
        std::sort(sorted.begin(), sorted.end());
        for (size_t i = 0; i < n; i++) ASSERT_EQ(sorted[i], (int)i);  // a permutation
    }
}

TEST(Sort, ShellSortOddElementSize) {
    std::vector<tWide> v(50);
    for (size_t i = 0; i < v.size(); i++) {
        v[i].key = (int)((i * 37) % 50);
        memset(v[i].pad, 'a' + v[i].key % 26, sizeof v[i].pad);
    }
    ShellSort(nullptr, v.data(), v.size(), sizeof(tWide), ByWideKey);
    for (size_t i = 0; i < v.size(); i++) {
        ASSERT_EQ(v[i].key, (int)i);
        ASSERT_EQ(v[i].pad[6], 'a' + (int)i % 26);
    }
}

TEST(Sort, SortLockedFromSeveralThreads) {
    std::vector<std::vector<int>> data(4, std::vector<int>(1000));
    for (auto &d : data)
        for (size_t i = 0; i < d.size(); i++) d[i] = (int)((i * 7919) % 1000);
    std::vector<std::thread> threads;
    for (auto &d : data) threads.emplace_back([&d] { SortLocked(d.data(), d.size(), sizeof(int), IntCompare); });
    for (auto &t : threads) t.join();
    for (auto &d : data) EXPECT_TRUE(std::is_sorted(d.begin(), d.end()));
}
