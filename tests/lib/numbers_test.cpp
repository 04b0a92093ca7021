#include "lib/numbers.h"

#include "lib/log.h"
#include "tests/support/paths.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace {

// A set that releases itself.
struct tSet : tNumbers {
    tSet() { NumbersInit(this); }
    explicit tSet(std::vector<std::pair<int32_t, int32_t>> ranges) {
        NumbersInit(this);
        for (auto [low, high] : ranges) EXPECT_GE(NumbersAdd(this, low, high), 0);
    }
    ~tSet() { NumbersFree(this); }
};

// The ranges as text "1-3 5 7-9" for readable comparisons.
std::string Show(const tNumbers *n) {
    std::string s;
    for (int32_t i = 0; i < NumbersRanges(n); i++) {
        const tRange *r = NumbersRange(n, i);
        if (!s.empty()) s += ' ';
        s += std::to_string(r->low);
        if (r->high != r->low) s += '-' + std::to_string(r->high);
    }
    return s;
}

// Canonical: valid ranges, sorted, at least one number missing between two.
::testing::AssertionResult Canonical(const tNumbers *n) {
    if (n->used < 0 || n->used > n->size) return ::testing::AssertionFailure() << "used " << n->used;
    for (int32_t i = 0; i < n->used; i++) {
        const tRange *r = NumbersRange(n, i);
        if (!RangeValid(r)) return ::testing::AssertionFailure() << "invalid range in " << Show(n);
        if (i > 0 && (int64_t)r->low <= (int64_t)NumbersRange(n, i - 1)->high + 1)
            return ::testing::AssertionFailure() << "not separated: " << Show(n);
    }
    return ::testing::AssertionSuccess();
}

// The set holds exactly the numbers of the model.
void ExpectSame(const tNumbers *n, const std::set<int32_t> &model) {
    ASSERT_TRUE(Canonical(n));
    std::set<int32_t> got;
    for (int32_t i = 0; i < NumbersRanges(n); i++)
        for (int64_t v = NumbersRange(n, i)->low; v <= NumbersRange(n, i)->high; v++) got.insert((int32_t)v);
    ASSERT_EQ(got, model) << Show(n);
    ASSERT_EQ(NumbersCount(n), (int64_t)model.size());
}

std::string WriteText(const tNumbers *n) {
    char *text = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&text, &len);
    EXPECT_EQ(NumbersWrite(f, n), E_OK);
    fclose(f);
    std::string s(text, len);
    free(text);
    return s;
}

}  // namespace

TEST(Numbers, AddMergesAndReportsAllPresent) {
    tSet n;
    EXPECT_EQ(NumbersAdd(&n, 1, 5), 0);
    EXPECT_EQ(NumbersAdd(&n, 7, 9), 0);
    EXPECT_EQ(Show(&n), "1-5 7-9");
    EXPECT_EQ(NumbersAdd(&n, 6, 6), 0);
    EXPECT_EQ(Show(&n), "1-9");
    EXPECT_EQ(NumbersAdd(&n, 3, 4), 1);
    EXPECT_EQ(NumbersAdd(&n, 9, 3), 0);  // empty range
    // One range swallowing several, touching both ends.
    tSet m({{1, 2}, {5, 6}, {9, 10}, {20, 30}});
    EXPECT_EQ(NumbersAdd(&m, 3, 19), 0);
    EXPECT_EQ(Show(&m), "1-30");
    EXPECT_EQ(NumbersAdd(&m, -5, -3), 0);
    EXPECT_EQ(Show(&m), "-5--3 1-30");
}

TEST(Numbers, RemoveSplitsCutsAndDrops) {
    tSet n({{1, 9}});
    EXPECT_EQ(NumbersRemove(&n, 4, 6), E_OK);
    EXPECT_EQ(Show(&n), "1-3 7-9");
    EXPECT_EQ(NumbersRemove(&n, 1, 3), E_OK);
    EXPECT_EQ(Show(&n), "7-9");
    tSet m({{1, 3}, {7, 9}});
    EXPECT_EQ(NumbersRemoveUpTo(&m, 8), 0);
    EXPECT_EQ(Show(&m), "9");
    tSet k({{1, 3}, {5, 6}, {8, 12}, {20, 20}});
    EXPECT_EQ(NumbersRemove(&k, 2, 10), E_OK);
    EXPECT_EQ(Show(&k), "1 11-12 20");
    EXPECT_EQ(NumbersRemove(&k, 13, 19), E_OK);
    EXPECT_EQ(Show(&k), "1 11-12 20");
}

TEST(Numbers, ExtremeNumbersDoNotOverflow) {
    tSet n;
    EXPECT_EQ(NumbersAdd(&n, 0, INT32_MAX), 0);
    EXPECT_EQ(NumbersCount(&n), 2147483648LL);
    EXPECT_EQ(NumbersAdd(&n, INT32_MAX, INT32_MAX), 1);
    EXPECT_EQ(NumbersRemove(&n, INT32_MAX, INT32_MAX), E_OK);
    EXPECT_FALSE(NumbersContains(&n, INT32_MAX));
    EXPECT_EQ(NumbersAdd(&n, INT32_MIN, INT32_MIN), 0);
    EXPECT_EQ(NumbersAdd(&n, INT32_MAX, INT32_MAX), 0);
    EXPECT_EQ(Show(&n), "-2147483648 0-2147483647");
    EXPECT_TRUE(Canonical(&n));
    EXPECT_EQ(NumbersRemove(&n, INT32_MIN, INT32_MAX), E_OK);
    EXPECT_EQ(NumbersRanges(&n), 0);
    tSet m({{5, INT32_MAX}});
    EXPECT_EQ(NumbersRemoveUpTo(&m, INT32_MAX), 0);
    EXPECT_EQ(NumbersRanges(&m), 0);
}

// Random adds, removals and walks with removal, on the set and on a
// std::set, compared after every step. Numbers are drawn from a small
// universe so that ranges meet, overlap and split all the time.
TEST(Numbers, BehavesLikeASetUnderRandomOperations) {
    for (unsigned seed = 1; seed <= 40; seed++) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
        tSet n;
        std::set<int32_t> model;
        for (int step = 0; step < 400; step++) {
            int32_t low = pick(0, 300);
            int32_t high = low + pick(-2, pick(0, 1) ? 3 : 40);
            switch (pick(0, 9)) {
            case 0: case 1: case 2: case 3: {
                bool allThere = high >= low;
                for (int32_t v = low; v <= high; v++) allThere = allThere && model.count(v);
                ASSERT_EQ(NumbersAdd(&n, low, high), allThere ? 1 : 0);
                for (int32_t v = low; v <= high; v++) model.insert(v);
                break;
            }
            case 4: case 5: case 6:
                ASSERT_EQ(NumbersRemove(&n, low, high), E_OK);
                for (int32_t v = low; v <= high; v++) model.erase(v);
                break;
            case 7:
                if (pick(0, 3) == 0) {
                    NumbersRemoveUpTo(&n, low / 4);
                    model.erase(model.begin(), model.upper_bound(low / 4));
                }
                break;
            default: {
                // Walk everything, dropping the numbers of one residue class.
                int mod = pick(1, 5), rest = pick(0, mod - 1);
                tNumbersIterator it;
                NumbersIterInit(&it, &n);
                std::vector<int32_t> walked;
                int32_t v;
                while (NumbersIterNext(&it, &v)) {
                    walked.push_back(v);
                    if (v % mod == rest) {
                        ASSERT_EQ(NumbersIterRemoveCurrent(&it), E_OK);
                    }
                }
                ASSERT_EQ(walked, std::vector<int32_t>(model.begin(), model.end()));
                for (int32_t w : walked) {
                    if (w % mod == rest) model.erase(w);
                }
            }
            }
            ExpectSame(&n, model);
            if (HasFatalFailure()) return;
            int32_t probe = pick(-1, 350);
            ASSERT_EQ(NumbersContains(&n, probe), model.count(probe) == 1) << probe;
        }
    }
}

TEST(Numbers, IterationRemovesFirstMiddleAndLast) {
    tSet n({{1, 3}});
    tNumbersIterator it;
    NumbersIterInit(&it, &n);
    int32_t v;
    ASSERT_EQ(NumbersIterNext(&it, &v), 1);
    EXPECT_EQ(v, 1);
    ASSERT_EQ(NumbersIterNext(&it, &v), 1);
    EXPECT_EQ(v, 2);
    EXPECT_EQ(NumbersIterRemoveCurrent(&it), E_OK);
    EXPECT_EQ(Show(&n), "1 3");
    ASSERT_EQ(NumbersIterNext(&it, &v), 1);
    EXPECT_EQ(v, 3);
    EXPECT_EQ(NumbersIterRemoveCurrent(&it), E_OK);  // a range of one number goes
    EXPECT_EQ(Show(&n), "1");
    EXPECT_EQ(NumbersIterNext(&it, &v), 0);
}

TEST(NumbersDeathTest, RemovingBeforeTheFirstNumberIsAnInternalError) {
    tTempDir dir;
    tSet n({{1, 3}});
    tNumbersIterator it;
    NumbersIterInit(&it, &n);
    EXPECT_DEATH(
        {
            if (chdir(dir.path.c_str()) == 0) (void)NumbersIterRemoveCurrent(&it);
        },
        "");
    EXPECT_NE(ReadWholeFile(dir / "panic").find("Assertion failed: ni->range || ni->index"), std::string::npos);
}

TEST(Numbers, TextFormRoundTrips) {
    tSet n({{1, 3}, {5, 5}});
    EXPECT_EQ(WriteText(&n), "1-3\n5\n");
    for (unsigned seed = 1; seed <= 20; seed++) {
        std::mt19937 rng(seed);
        tSet a;
        for (int i = 0; i < 50; i++) {
            int32_t low = (int32_t)(rng() % 2000000000u);
            ASSERT_GE(NumbersAdd(&a, low, low + (int32_t)(rng() % 3 ? 0 : rng() % 5000)), 0);
        }
        std::string text = WriteText(&a);
        tSet b;
        size_t start = 0;
        for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
            ASSERT_EQ(NumbersAddText(&b, std::string_view(text).substr(start, end - start), nullptr), 0);
        EXPECT_EQ(Show(&a), Show(&b));
    }
}

TEST(Numbers, AddTextForms) {
    struct {
        const char *text;
        int result;
        const char *after;  // the set afterwards, started from "10"
    } cases[] = {
        {"42", 0, "10 42"},
        {"  \t42-44 trailing", 0, "10 42-44"},
        {"10", 1, "10"},
        {"8-12", 0, "8-12"},
        {"abc", 0, "0 10"},  // no digits: 0
        {"9-3", 0, "10"},    // empty range
        {"100-", E_BAD_INTERVAL, "10"},
        {"100-x", E_BAD_INTERVAL, "10"},
        {"2147483647", 0, "10 2147483647"},
        {"2147483648", E_BAD_INTERVAL, "10"},
        {"1-99999999999999999999", E_BAD_INTERVAL, "10"},
        {"1-2000000", 0, "1-2000000"},  // no size limit without a log
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        tSet n({{10, 10}});
        EXPECT_EQ(NumbersAddText(&n, c.text, nullptr), c.result);
        EXPECT_EQ(Show(&n), c.after);
    }
}

TEST(Numbers, AddTextWithALogIgnoresHugeIntervals) {
    tTempDir dir;
    tLog log;
    ASSERT_EQ(LogOpen(&log, (dir / "log").c_str(), 1 << 20), E_OK);
    tSet n;
    EXPECT_EQ(NumbersAddText(&n, "1-2000000", &log), 0);
    EXPECT_EQ(NumbersAddText(&n, "0-1000001", &log), 0);  // 1000002 numbers
    EXPECT_EQ(NumbersRanges(&n), 0);
    EXPECT_EQ(NumbersAddText(&n, "1-1000001", &log), 0);  // 1000001 numbers
    EXPECT_EQ(Show(&n), "1-1000001");
    LogClose(&log);
    std::string text = ReadWholeFile(dir / "log");
    EXPECT_NE(text.find("Interval 1-2000000 too large. Ignoring it.\n"), std::string::npos);
    EXPECT_NE(text.find("Interval 0-1000001 too large. Ignoring it.\n"), std::string::npos);
    EXPECT_EQ(text.find("Interval 1-1000001"), std::string::npos);
}

TEST(Numbers, WriteFailureIsReported) {
    FILE *f = fopen("/dev/full", "w");
    ASSERT_NE(f, nullptr);
    setvbuf(f, nullptr, _IONBF, 0);
    tSet n({{1, 3}});
    EXPECT_EQ(NumbersWrite(f, &n), E_DISK_WRITE);
    fclose(f);
}

TEST(Numbers, MergeAndCopy) {
    tSet a({{1, 3}, {10, 12}});
    tSet b({{4, 5}, {20, 20}});
    EXPECT_EQ(NumbersMerge(&a, &b), E_OK);
    EXPECT_EQ(Show(&a), "1-5 10-12 20");
    EXPECT_EQ(NumbersRanges(&b), 0);
    EXPECT_NE(b.buf, nullptr);  // emptied, buffer kept
    EXPECT_EQ(NumbersMerge(&a, &a), E_OK);
    EXPECT_EQ(Show(&a), "1-5 10-12 20");

    tSet c({{7, 7}});
    EXPECT_EQ(NumbersCopy(&c, &a), E_OK);
    EXPECT_EQ(c.size, a.size);
    ASSERT_GE(NumbersAdd(&a, 6, 9), 0);
    EXPECT_EQ(Show(&c), "1-5 10-12 20");
    tSet empty, d({{1, 1}});
    EXPECT_EQ(NumbersCopy(&d, &empty), E_OK);
    EXPECT_EQ(NumbersRanges(&d), 0);
}

// Every operation that allocates leaves the set as it was when the
// allocation fails.
TEST(Numbers, AllocationFailureLeavesTheSetUnchanged) {
    tSet n;
    for (int32_t i = 0; i < 20; i++) ASSERT_EQ(NumbersAdd(&n, i * 10, i * 10 + 5), 0);  // buffer now full
    std::string before = Show(&n);
    NumbersFailAllocations(1);
    EXPECT_EQ(NumbersAdd(&n, 1000, 1000), E_OUT_OF_MEMORY);     // append
    NumbersFailAllocations(1);
    EXPECT_EQ(NumbersAdd(&n, 7, 7), E_OUT_OF_MEMORY);           // insert
    NumbersFailAllocations(1);
    EXPECT_EQ(NumbersRemove(&n, 2, 3), E_OUT_OF_MEMORY);        // split
    NumbersFailAllocations(1);
    EXPECT_EQ(NumbersAdd(&n, 6, 9), 0);                         // merge: no allocation
    EXPECT_EQ(NumbersRemove(&n, 6, 9), E_OK);                   // cut: no allocation
    EXPECT_EQ(NumbersRemove(&n, 10, 15), E_OK);                 // drop: no allocation
    EXPECT_EQ(NumbersAdd(&n, 10, 15), 0);
    EXPECT_EQ(Show(&n), before);
    NumbersFailAllocations(1);
    tNumbersIterator it;
    NumbersIterInit(&it, &n);
    int32_t v;
    ASSERT_EQ(NumbersIterNext(&it, &v), 1);
    ASSERT_EQ(NumbersIterNext(&it, &v), 1);
    EXPECT_EQ(NumbersIterRemoveCurrent(&it), E_OUT_OF_MEMORY);  // split around 1
    EXPECT_EQ(Show(&n), before);
    ASSERT_EQ(NumbersIterNext(&it, &v), 1);
    EXPECT_EQ(v, 2);
    tSet copy({{1, 1}});
    NumbersFailAllocations(1);
    EXPECT_EQ(NumbersCopy(&copy, &n), E_OUT_OF_MEMORY);
    EXPECT_EQ(Show(&copy), "1");
    tSet more({{500, 500}, {600, 600}});
    NumbersFailAllocations(1);
    EXPECT_EQ(NumbersMerge(&n, &more), E_OUT_OF_MEMORY);
    EXPECT_EQ(Show(&more), "500 600");  // nothing lost
    EXPECT_EQ(Show(&n), before);
    NumbersFailAllocations(0);
}

TEST(Numbers, CollapseMergesNeighbours) {
    tSet n({{1, 5}, {10, 12}, {20, 21}});
    EXPECT_EQ(NumbersCollapse(&n, 5), 1);
    EXPECT_EQ(Show(&n), "1-12 20-21");
    EXPECT_EQ(NumbersCollapseTo(&n, 1), 1);
    EXPECT_EQ(Show(&n), "1-21");
    tSet m({{1, 1}, {3, 3}, {5, 5}, {100, 100}});
    EXPECT_EQ(NumbersCollapse(&m, 1), 0);
    EXPECT_EQ(NumbersCollapse(&m, 2), 2);  // chains: 1-3, then 1-5
    EXPECT_EQ(Show(&m), "1-5 100");
    // A gap of two billion is closed at once, not one distance at a time.
    tSet far({{1, 1}, {2000000000, 2000000000}, {INT32_MAX, INT32_MAX}});
    EXPECT_EQ(NumbersCollapseTo(&far, 1), 2);
    EXPECT_EQ(Show(&far), "1-2147483647");
}

// The shortcut of NumbersCollapseTo against collapsing with 2, 3, 4, ... one
// after the other; neither may lose a number.
TEST(Numbers, CollapseToEqualsSteppingAndKeepsEveryNumber) {
    for (unsigned seed = 1; seed <= 60; seed++) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        tSet a;
        std::set<int32_t> model;
        for (int i = 0; i < 60; i++) {
            int32_t low = (int32_t)(rng() % 3000), high = low + (int32_t)(rng() % 4);
            ASSERT_GE(NumbersAdd(&a, low, high), 0);
            for (int32_t v = low; v <= high; v++) model.insert(v);
        }
        int32_t maxRanges = (int32_t)(rng() % 12);
        tSet stepped;
        ASSERT_EQ(NumbersCopy(&stepped, &a), E_OK);
        int steppedMerges = 0;
        for (int32_t d = 2; NumbersRanges(&stepped) > std::max(maxRanges, 1); d++)
            steppedMerges += NumbersCollapse(&stepped, d);
        int32_t rangesBefore = NumbersRanges(&a);
        int merges = NumbersCollapseTo(&a, maxRanges);
        EXPECT_EQ(Show(&a), Show(&stepped));
        EXPECT_EQ(merges, steppedMerges);
        EXPECT_EQ(merges, rangesBefore - NumbersRanges(&a));
        EXPECT_TRUE(Canonical(&a));
        for (int32_t v : model) ASSERT_TRUE(NumbersContains(&a, v)) << v;
    }
}

TEST(Numbers, CollapsePolicyPrefersTheServersOwnValues) {
    struct {
        int32_t serverDistance, serverMax, defaultDistance, defaultMax;
        const char *after;
    } cases[] = {
        {0, 0, 5, 32, "1-12 20-21 40"},  // global distance only
        {0, 0, 0, 0, "1-5 10-12 20-21 40"},
        {9, 0, 5, 32, "1-21 40"},        // the server's distance wins
        {0, 2, 5, 32, "1-21 40"},        // the server's limit wins
        {0, 0, 1, 1, "1-40"},            // distance 1 does nothing, the limit does
        {-3, -1, 5, 0, "1-12 20-21 40"}, // negative server values count as unset
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.after);
        tSet n({{1, 5}, {10, 12}, {20, 21}, {40, 40}});
        int before = NumbersRanges(&n);
        int merges = NumbersCollapseWith(&n, c.serverDistance, c.serverMax, c.defaultDistance, c.defaultMax);
        EXPECT_EQ(Show(&n), c.after);
        EXPECT_EQ(merges, before - NumbersRanges(&n));
    }
}
