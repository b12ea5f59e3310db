#include "KxFexArray.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Item {
    int n;
};

// Capacities seen while appending one element at a time, starting from empty.
std::vector<int> CapacitySteps(int nGrowBy, int nAppends)
{
    CFexArray<Item*, Item*> a;
    if (nGrowBy >= 0)
        a.SetSize(0, nGrowBy);
    std::vector<int> steps;
    int last = 0;
    for (int i = 0; i < nAppends; ++i) {
        a.Add(nullptr);
        if (a.GetAllocSize() != last) {
            last = a.GetAllocSize();
            steps.push_back(last);
        }
    }
    return steps;
}

TEST(FexArray, DefaultGrowthIsOneEighthClampedTo4And1024)
{
    std::vector<int> steps = CapacitySteps(-1, 20000);
    ASSERT_GE(steps.size(), 3u);
    EXPECT_EQ(4, steps[0]); // empty array grows by the minimum of 4
    int prev = 0;
    for (int cap : steps) {
        int step = cap - prev;
        // Growth happens when full, i.e. at size == prev.
        int expect = prev / 8;
        expect = expect < 4 ? 4 : (expect > 1024 ? 1024 : expect);
        EXPECT_EQ(expect, step) << "from " << prev;
        prev = cap;
    }
    EXPECT_EQ(1024, steps.back() - steps[steps.size() - 2]); // large arrays step by the maximum
}

TEST(FexArray, GrowthStepWinsWhenSet)
{
    struct Row {
        int growBy;
        int appends;
        std::vector<int> caps;
    } rows[] = {
        {1, 3, {1, 2, 3}},
        {10, 25, {10, 20, 30}},
        {0, 9, {4, 8, 12}}, // 0 means "no step": the default rule
    };
    for (const Row& r : rows)
        EXPECT_EQ(r.caps, CapacitySteps(r.growBy, r.appends)) << r.growBy;
}

TEST(FexArray, KeepsOrderAcrossGrowthAndEdits)
{
    Item items[40];
    CFexArray<Item*, Item*> a;
    for (int i = 0; i < 40; ++i) {
        items[i].n = i;
        EXPECT_EQ(i, a.Add(&items[i]));
    }
    EXPECT_EQ(40, a.GetSize());
    for (int i = 0; i < 40; ++i)
        EXPECT_EQ(i, a[i]->n);
    EXPECT_TRUE(a.RemoveAt(5, 3));
    EXPECT_EQ(37, a.GetSize());
    EXPECT_EQ(4, a[4]->n);
    EXPECT_EQ(8, a[5]->n);
    EXPECT_TRUE(a.InsertAt(0, &items[39]));
    EXPECT_EQ(39, a.GetAt(0)->n);
    EXPECT_EQ(0, a.GetAt(1)->n);
    EXPECT_TRUE(a.RemoveAt(30, 1000)); // count limited to the end
    EXPECT_EQ(30, a.GetSize());
    EXPECT_FALSE(a.RemoveAt(30));
    EXPECT_FALSE(a.RemoveAt(-1));
    a.RemoveAll();
    EXPECT_TRUE(a.IsEmpty());
    EXPECT_EQ(nullptr, a.GetData());
    EXPECT_EQ(-1, a.GetUpperBound());
}

TEST(FexArray, SetSizeRejectsBadSizesAndClearsNewSlots)
{
    CFexArray<int, int> a;
    EXPECT_FALSE(a.SetSize(-1));
    EXPECT_FALSE(a.SetSize(KX_FEX_ARRAY_MAX + 1));
    a.Add(7);
    a.Add(8);
    EXPECT_TRUE(a.SetSize(1));
    EXPECT_TRUE(a.SetSize(3));
    EXPECT_EQ(7, a[0]);
    EXPECT_EQ(0, a[1]); // a former element must not reappear
    EXPECT_EQ(0, a[2]);
}

} // namespace
