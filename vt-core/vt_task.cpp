// Tasks and the task table (a std::map, a red-black tree, under its own lock).
// The table never owns a task: callers create and free their tasks, the table only
// finds them by tag and wakes them when it is destroyed.
#include "vt_task.h"

#include <new>

// Wakes every task still waiting; the tasks stay their callers'.
static int vt_tree_deit_sync(vt_tree *tree)
{
    if (vt_lock_acquire(tree->lock))
        return VT_ERR("failed to lock tree object");
    for (auto &[tag, task] : tree->map) {
        task->node = nullptr;
        vt_cond_signal(task->cond);
    }
    tree->map.clear();
    if (vt_lock_release(tree->lock))
        return VT_ERR("failed to unlock tree object");
    return 0;
}

int vt_task_init(vt_task **slot, uint32_t tag, vt_buffer *buffer, void *user_data)
{
    auto *task = slot && !*slot ? new (std::nothrow) vt_task{} : nullptr;
    if (!task || vt_cond_init(&task->cond) || vt_lock_init(&task->lock)) {
        if (task)
            vt_task_deit(&task);
        return VT_ERR("failed to create task object on task tag %u with buffer %p", tag,
                      static_cast<void *>(buffer));
    }
    task->tag = tag;
    task->buffer = buffer;
    task->user_data = user_data;
    *slot = task;
    return 0;
}

int vt_task_deit(vt_task **slot)
{
    if (!slot || !*slot)
        return 1;
    vt_task *task = *slot;
    vt_cond_deit(&task->cond);
    vt_lock_deit(&task->lock);
    delete task;
    *slot = nullptr;
    return 0;
}

int vt_task_write(vt_task *task, const void *data, size_t length)
{
    if (!task)
        return VT_ERR("invalid task object");
    if (!task->buffer)
        return VT_ERR("invalid task buffer");
    if (!data || length == 0)
        return VT_ERR("invalid user buffer and length");
    return vt_buffer_write(task->buffer, data, length);
}

vt_cond *vt_task_cond(vt_task *task)
{
    return task ? task->cond : nullptr;
}

int vt_task_lock(vt_task *task)
{
    return task ? vt_lock_acquire(task->lock) : 1;
}

int vt_task_unlock(vt_task *task)
{
    return task ? vt_lock_release(task->lock) : 1;
}

int vt_task_get_user_data_(vt_task *task, void **out)
{
    if (VT_NIL(2, task, out))
        return 1;
    *out = task->user_data;
    return 0;
}

int vt_task_get_buffer_(vt_task *task, uint8_t **data, size_t *length)
{
    if (VT_NIL(3, task, data, length))
        return 1;
    return vt_buffer_ptr_(task->buffer, data, length);
}

int vt_task_get_buffer_object(vt_task *task, vt_buffer **out)
{
    if (VT_NIL(2, task, out))
        return 1;
    *out = task->buffer;
    return 0;
}

int vt_tree_init(vt_tree **slot)
{
    auto *tree = slot && !*slot ? new (std::nothrow) vt_tree{} : nullptr;
    if (!tree || vt_lock_init(&tree->lock)) {
        delete tree;
        return VT_ERR("failed to create tree object");
    }
    *slot = tree;
    return 0;
}

int vt_tree_deit(vt_tree **slot)
{
    if (!slot || !*slot)
        return 1;
    const int result = vt_tree_deit_sync(*slot);
    vt_lock_deit(&(*slot)->lock);
    delete *slot;
    *slot = nullptr;
    return result;
}

int vt_tree_insert(vt_tree *tree, vt_task *task)
{
    if (VT_NIL(2, tree, task))
        return 1;
    if (vt_lock_acquire(tree->lock))
        return VT_ERR("failed to lock tree object");
    const bool inserted = !task->node && tree->map.try_emplace(task->tag, task).second;
    if (inserted)
        task->node = tree;
    if (vt_lock_release(tree->lock))
        return VT_ERR("failed to unlock tree object");
    return inserted ? 0 : VT_ERR("failed to insert task tag %u", task->tag);
}

int vt_tree_search(vt_tree *tree, vt_task **out, uint32_t tag)
{
    if (VT_NIL(2, tree, out))
        return 1;
    if (vt_lock_acquire(tree->lock))
        return VT_ERR("failed to lock tree object");
    const auto found = tree->map.find(tag);
    *out = found != tree->map.end() ? found->second : nullptr;
    if (vt_lock_release(tree->lock))
        return VT_ERR("failed to unlock tree object");
    return *out ? 0 : 1;
}

int vt_tree_delete(vt_tree *tree, vt_task *task)
{
    if (VT_NIL(2, tree, task))
        return 1;
    if (vt_lock_acquire(tree->lock))
        return VT_ERR("failed to lock tree object");
    // Only the node of this very task goes: another task never loses its entry.
    const auto found = tree->map.find(task->tag);
    const bool deleted = task->node == tree && found != tree->map.end() && found->second == task;
    if (deleted) {
        tree->map.erase(found);
        task->node = nullptr;
    }
    if (vt_lock_release(tree->lock))
        return VT_ERR("failed to unlock tree object");
    return deleted ? 0 : 1;
}
