// Tasks and the task table. A task is one request waiting for its response: the
// reader thread finds it by the frame's tag, holds its lock while the dispatcher
// stores the response, and signals its event for the waiting caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>

#include "vt_buffer.h"
#include "vt_syslog.h"
#include "vt_thread.h"

struct vt_tree;

struct vt_task {
    uint32_t tag;
    vt_cond *cond;     // signalled when the response (or its last piece) is stored
    vt_lock *lock;     // held by the reader while the task is the current task
    void *user_data;   // the caller's; not owned
    vt_buffer *buffer; // the caller's response buffer; may be absent; not owned
    vt_tree *node;     // the table that holds the task, absent when in none
};

// Ordered map from tag to task; it holds the tasks but never frees them.
struct vt_tree {
    std::map<uint32_t, vt_task *> map;
    vt_lock *lock;
};

// All return 0 on success and 1 on failure.
int vt_task_init(vt_task **slot, uint32_t tag, vt_buffer *buffer, void *user_data);
int vt_task_deit(vt_task **slot);
int vt_task_write(vt_task *task, const void *data, size_t length);
vt_cond *vt_task_cond(vt_task *task);
int vt_task_lock(vt_task *task);
int vt_task_unlock(vt_task *task);
int vt_task_get_user_data_(vt_task *task, void **out);
int vt_task_get_buffer_(vt_task *task, uint8_t **data, size_t *length);
int vt_task_get_buffer_object(vt_task *task, vt_buffer **out);

int vt_tree_init(vt_tree **slot);
// Signals every task still in the table (no waiter stays blocked), then frees it.
int vt_tree_deit(vt_tree **slot);
// Fails when the task is already in a table or its tag is taken.
int vt_tree_insert(vt_tree *tree, vt_task *task);
// 1 without a report when no task has the tag.
int vt_tree_search(vt_tree *tree, vt_task **out, uint32_t tag);
int vt_tree_delete(vt_tree *tree, vt_task *task);
