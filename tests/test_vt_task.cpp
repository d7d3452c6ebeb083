// Tests of tasks and the task table: lookup by tag, removal of exactly the given
// task, refusal of a taken tag, the response buffer checks, and the wake-up of every
// task still in the table when the table is destroyed.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "vt_task.h"
#include "vt_test_util.h"

namespace {

struct TaskTable : ::testing::Test {
    vt_tree *tree = nullptr;
    std::vector<vt_task *> tasks;

    void SetUp() override { ASSERT_EQ(vt_tree_init(&tree), 0); }
    void TearDown() override
    {
        vt_tree_deit(&tree);
        for (vt_task *&task : tasks)
            vt_task_deit(&task);
    }
    vt_task *add(uint32_t tag)
    {
        vt_task *task = nullptr;
        EXPECT_EQ(vt_task_init(&task, tag, nullptr, nullptr), 0);
        tasks.push_back(task);
        EXPECT_EQ(vt_tree_insert(tree, task), 0);
        return task;
    }
};

TEST_F(TaskTable, FindsTasksByTagAndRemovesThem)
{
    const uint32_t tags[] = {2, 3, 1000, 7, UINT32_MAX, 1};
    for (uint32_t tag : tags)
        add(tag);
    for (size_t i = 0; i < std::size(tags); ++i) {
        vt_task *found = nullptr;
        ASSERT_EQ(vt_tree_search(tree, &found, tags[i]), 0);
        EXPECT_EQ(found, tasks[i]);
    }
    vt_task *found = nullptr;
    EXPECT_EQ(vt_tree_search(tree, &found, 4), 1);
    EXPECT_EQ(found, nullptr);
    ASSERT_EQ(vt_tree_delete(tree, tasks[2]), 0);
    EXPECT_EQ(vt_tree_search(tree, &found, 1000), 1);
    EXPECT_EQ(vt_tree_delete(tree, tasks[2]), 1) << "already removed";
    EXPECT_EQ(vt_tree_search(tree, &found, 7), 0) << "its neighbours stay";
}

TEST_F(TaskTable, ATakenTagIsRefusedAndTheOwnerKeepsItsEntry)
{
    vt_task *first = add(5);
    vt_task *second = nullptr;
    ASSERT_EQ(vt_task_init(&second, 5, nullptr, nullptr), 0);
    tasks.push_back(second);
    vt_test::SyserrCapture errors;
    EXPECT_EQ(vt_tree_insert(tree, second), 1);
    EXPECT_EQ(vt_tree_delete(tree, second), 1);
    vt_task *found = nullptr;
    ASSERT_EQ(vt_tree_search(tree, &found, 5), 0);
    EXPECT_EQ(found, first);
}

TEST_F(TaskTable, DestroyingTheTableWakesEveryTaskAndFreesNone)
{
    vt_task *a = add(10);
    vt_task *b = add(11);
    ASSERT_EQ(vt_tree_deit(&tree), 0);
    EXPECT_EQ(tree, nullptr);
    EXPECT_EQ(vt_cond_wait_timed(vt_task_cond(a), 0), 0);
    EXPECT_EQ(vt_cond_wait_timed(vt_task_cond(b), 0), 0);
    EXPECT_EQ(a->node, nullptr);
}

TEST(Task, ResponseBufferChecks)
{
    vt_buffer *buffer = nullptr;
    ASSERT_EQ(vt_buffer_init(&buffer, 0), 0);
    vt_task *with = nullptr, *without = nullptr;
    int user = 7;
    ASSERT_EQ(vt_task_init(&with, 42, buffer, &user), 0);
    ASSERT_EQ(vt_task_init(&without, 43, nullptr, nullptr), 0);
    vt_test::SyserrCapture errors;
    struct Case {
        vt_task *task;
        const char *data;
        size_t length;
        const char *message;
    };
    const Case cases[] = {
        {nullptr, "x", 1, "invalid task object"},
        {without, "x", 1, "invalid task buffer"},
        {with, nullptr, 1, "invalid user buffer and length"},
        {with, "x", 0, "invalid user buffer and length"},
    };
    for (const Case &c : cases) {
        errors.clear();
        EXPECT_EQ(vt_task_write(c.task, c.data, c.length), 1);
        EXPECT_NE(errors.text().find(c.message), std::string::npos) << c.message;
    }
    ASSERT_EQ(vt_task_write(with, "abc", 3), 0);
    ASSERT_EQ(vt_task_write(with, "de", 2), 0);
    uint8_t *data = nullptr;
    size_t length = 0;
    ASSERT_EQ(vt_task_get_buffer_(with, &data, &length), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(data), length), "abcde");
    void *out = nullptr;
    ASSERT_EQ(vt_task_get_user_data_(with, &out), 0);
    EXPECT_EQ(out, &user);
    vt_task_deit(&with);
    vt_task_deit(&without);
    vt_buffer_deit(&buffer);
}

} // namespace
