#include "lib/dlink.h"
#include "tests/support/paths.h"

#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

struct tItem {
    tDlink link;  // first member
    int key;
};

std::string Keys(tDlink *head) {
    std::string s;
    for (tDlink *e = head->next; e != head; e = e->next) s += std::to_string(((tItem *)e)->key);
    return s;
}

bool Follows(const tDlink *e, const tDlink *x) { return ((const tItem *)e)->key > ((const tItem *)x)->key; }

// Runs the statement in a child in a fresh directory and returns the panic
// file it left.
template <typename F>
std::string PanicText(F statement) {
    tTempDir dir;
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd) || chdir(dir.path.c_str()) != 0) return "chdir failed";
    EXPECT_DEATH(statement(), "");
    if (chdir(cwd) != 0) return "chdir back failed";
    return ReadWholeFile(dir / "panic");
}

}  // namespace

TEST(Dlink, AppendInsertRemoveKeepTheRing) {
    tDlink head;
    DlinkInit(&head);
    EXPECT_FALSE(DlinkInList(&head));
    tItem a{{}, 1}, b{{}, 2}, c{{}, 3};
    DlinkInit(&a.link);
    DlinkInit(&b.link);
    DlinkInit(&c.link);
    EXPECT_FALSE(DLINK_INLIST(tItem, &a));
    DLINK_APPEND(tItem, &head, &a);
    DLINK_APPEND(tItem, &head, &c);
    DLINK_INSERT_BEFORE(tItem, &c.link, &b);
    EXPECT_TRUE(DlinkInList(&head));
    EXPECT_TRUE(DLINK_INLIST(tItem, &b));
    EXPECT_EQ(Keys(&head), "123");
    DLINK_REMOVE(tItem, &b);
    EXPECT_FALSE(DLINK_INLIST(tItem, &b));
    EXPECT_EQ(Keys(&head), "13");
    DlinkRemove(&a.link);
    DlinkRemove(&c.link);
    EXPECT_FALSE(DlinkInList(&head));
    EXPECT_EQ(head.next, &head);
    EXPECT_EQ(head.prev, &head);
}

TEST(Dlink, SortedInsertion) {
    tDlink head;
    DlinkInit(&head);
    tItem items[5] = {{{}, 3}, {{}, 1}, {{}, 4}, {{}, 1}, {{}, 2}};
    for (tItem &it : items) {
        DlinkInit(&it.link);
        DLINK_INSERT_BEFORE(tItem, DlinkSortedAnchor(&head, &it.link, Follows), &it);
    }
    EXPECT_EQ(Keys(&head), "11234");
}

TEST(DlinkDeathTest, MisuseEndsInPanicWithTheCallersText) {
    std::string text = PanicText([] {
        tDlink head;
        DlinkInit(&head);
        tItem sreq{{}, 1};
        DlinkInit(&sreq.link);
        DLINK_APPEND(tItem, &head, &sreq);
        DLINK_APPEND(tItem, &head, &sreq);  // double insertion
    });
    EXPECT_EQ(text.rfind("Assertion failed: !DLINK_INLIST (tItem, &sreq), file ", 0), 0u) << text;
    EXPECT_NE(text.find("dlink_test.cpp, line "), std::string::npos) << text;
    EXPECT_EQ(text.back(), '\n');

    // Removing an element whose list was re-initialised under it.
    text = PanicText([] {
        tDlink head;
        DlinkInit(&head);
        tItem x{{}, 1};
        DlinkInit(&x.link);
        DlinkAppend(&head, &x.link);
        DlinkInit(&head);
        DlinkRemove(&x.link);
    });
    EXPECT_EQ(text.rfind("Assertion failed: ((&x.link))->next->prev == (void*) ((&x.link)), file ", 0), 0u) << text;

    // A broken anchor: its neighbour no longer points back.
    text = PanicText([] {
        tDlink head, stray;
        DlinkInit(&head);
        DlinkInit(&stray);
        head.prev = &stray;
        head.next = &stray;
        tDlink x;
        DlinkInit(&x);
        DlinkAppend(&head, &x);
    });
    EXPECT_EQ(text.rfind("Assertion failed: ((&head))->next->prev == (void*) ((&head))", 0), 0u) << text;

    // A link that was never initialised (zeroed).
    text = PanicText([] {
        tDlink zero{};
        DlinkRemove(&zero);
    });
    EXPECT_EQ(text.rfind("Assertion failed: ((&zero))->next->prev", 0), 0u) << text;
}
