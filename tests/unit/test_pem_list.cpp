#include <gtest/gtest.h>

#include <vector>

#include "pem_list.h"

namespace {
struct Item {
    _DLIST Entry;
    int Value;
};

// The values from the head on, forwards or (Step PemListGetPrev) backwards.
std::vector<int> Walk(const _DLIST* head, PDLIST (*step)(const _DLIST*) = PemListGetNext) {
    std::vector<int> out;
    for (PDLIST p = step(head); p != head; p = step(p)) out.push_back(reinterpret_cast<Item*>(p)->Value);
    return out;
}
}  // namespace

TEST(PemList, InsertOrderAndWalksBothWays) {
    _DLIST head;
    PemListInit(&head);
    EXPECT_EQ(PemListEmpty(&head), 1);
    Item a{{}, 1}, b{{}, 2}, c{{}, 3}, d{{}, 4};
    PemListInsertTail(&head, &a.Entry);
    PemListInsertTail(&head, &b.Entry);
    PemListInsertHead(&head, &c.Entry);
    PemListInsertEntry(&a.Entry, &d.Entry);  // directly behind a
    EXPECT_EQ(PemListEmpty(&head), 0);
    EXPECT_EQ(Walk(&head), (std::vector<int>{3, 1, 4, 2}));
    EXPECT_EQ(Walk(&head, PemListGetPrev), (std::vector<int>{2, 4, 1, 3}));
    EXPECT_EQ(PemListGetNext(&b.Entry), &head);  // circular: the last entry leads to the head
}

TEST(PemList, RemoveLeavesSelfRingAndIsIdempotent) {
    _DLIST head;
    PemListInit(&head);
    Item a{{}, 1}, b{{}, 2};
    PemListInsertTail(&head, &a.Entry);
    PemListInsertTail(&head, &b.Entry);
    PemListRemoveEntry(&a.Entry);
    EXPECT_EQ(a.Entry.Flink, &a.Entry);
    EXPECT_EQ(a.Entry.Blink, &a.Entry);
    PemListRemoveEntry(&a.Entry);  // removing again changes nothing, list untouched
    EXPECT_EQ(Walk(&head), (std::vector<int>{2}));
    PemListRemoveEntry(&b.Entry);
    EXPECT_EQ(PemListEmpty(&head), 1);
    EXPECT_EQ(head.Blink, &head);
}
