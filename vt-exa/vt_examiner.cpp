// Subject sessions: configuration, creation and teardown, connecting and logging in,
// the request-and-wait of status requests, subject information, notifications, the
// dispatcher that the channel's reader thread runs, and the disconnect monitor.
#include "vt_examiner.h"
#include "vt_ptr.h"

#include <memory>
#include <new>

namespace {

using subject_deleter = vt_deit_deleter<vt_subject_deit>;
using json_obj_deleter = vt_deit_deleter<vt_json_obj_deit>;
using json_arr_deleter = vt_deit_deleter<vt_json_arr_deit>;
using info_deleter = vt_deit_deleter<vt_subject_info_deit>;
struct request_deleter {
    void operator()(vt_ptc_req *request) const { vt_ptc_req_deit(request); }
};
using json_obj_ptr = std::unique_ptr<vt_json_obj, json_obj_deleter>;
using json_arr_ptr = std::unique_ptr<vt_json_arr, json_arr_deleter>;
using info_ptr = std::unique_ptr<vt_subject_info, info_deleter>;
// Releases a decoded response's body when the handler leaves.
using request_guard = std::unique_ptr<vt_ptc_req, request_deleter>;

} // namespace

// ---- helpers ----

// Builds a message in the scratch buffer (with a body when a document is given) and
// sends it with a task carrying `user`. Called with the subject lock held.
static int send_with_task(vt_subject *subject, uint8_t opcode, vt_json_obj *document,
                          vt_task **task, void *user)
{
    uint8_t *message = nullptr;
    size_t size = 0;
    const int built = document ? vt_ptc_res_json(subject->scratch, document, opcode, 0, &message, &size)
                               : vt_ptc_res_header(subject->scratch, opcode, 0, &message, &size);
    return built || !subject->web ||
           vt_web_send_base(subject->web, message, size, task, nullptr, 0, user);
}

// Waits for the task's response within the request timeout: 0 when signalled.
static int wait_response(const vt_subject *subject, vt_task *task)
{
    return vt_cond_wait_timed(vt_task_cond(task), subject->request_timeout);
}

static int make_credentials(vt_subject *subject, const vt_string *username,
                            const vt_string *password)
{
    vt_json_obj *raw = nullptr;
    if (vt_json_obj_init(&raw))
        return 1;
    json_obj_ptr credentials(raw);
    if (vt_json_obj_string(raw, "username", username->text ? username->text : "", username->length) ||
        vt_json_obj_string(raw, "password", password->text ? password->text : "", password->length))
        return 1;
    subject->credentials = credentials.release();
    return 0;
}

// Takes channel and credentials out under the lock and releases them outside it:
// closing the channel joins its reader, which may be waiting for the subject lock
// in the dispatcher.
static int release_session(vt_subject *subject)
{
    if (vt_lock_acquire(subject->lock))
        return VT_ERR("failed to lock subject object");
    vt_web *web = subject->web;
    vt_json_obj *credentials = subject->credentials;
    subject->web = nullptr;
    subject->credentials = nullptr;
    const int unlocked = vt_lock_release(subject->lock);
    vt_json_obj_deit(&credentials);
    vt_web_deit(&web);
    return unlocked ? VT_ERR("failed to unlock subject object") : 0;
}

static void *vt_subject_monitor(void *argument)
{
    auto *subject = static_cast<vt_subject *>(argument);
    // Channel, callback and user data are set before this thread starts and cleared
    // only after it was joined, so they are read here without the subject lock.
    if (vt_cond_wait(subject->web->event) == 0)
        subject->monitor_cb(subject->monitor_user_data);
    return nullptr;
}

// Hands a status outcome to the request that waits for it, on the current task.
static int vt_ptc_status_sync(vt_web *channel, int outcome)
{
    vt_task *task = nullptr;
    void *user = nullptr;
    if (vt_web_task(channel, &task) || vt_task_get_user_data_(task, &user) || !user)
        return VT_ERR("failed to get task node and user data");
    *static_cast<int *>(user) = outcome;
    if (vt_cond_signal(vt_task_cond(task)))
        return VT_ERR("failed to sync task node");
    return 0;
}

// Accepted status codes: 0, and 0xE0 on a target login response.
static bool status_accepted(const vt_ptc_hdr *header)
{
    return header->error == 0 ||
           (header->error == VT_PTC_ERR_LOGIN_TOLERATED && header->opcode == VT_PTC_TARGET_LOGIN_RES);
}

// ---- configuration ----

int vt_subject_cfg_init(vt_subject_cfg **slot, vt_syslog *logger)
{
    if (!slot || *slot || !logger)
        return 1;
    auto *cfg = new (std::nothrow) vt_subject_cfg{};
    if (!cfg)
        return 1;
    cfg->logger = logger;
    cfg->request_timeout = vt_subject_request_timeout_default;
    cfg->stack_size = vt_subject_stack_size_default;
    *slot = cfg;
    return 0;
}

int vt_subject_cfg_deit(vt_subject_cfg **slot)
{
    if (!slot || !*slot)
        return 1;
    delete *slot;
    *slot = nullptr;
    return 0;
}

int vt_subject_cfg_set_cdb(vt_subject_cfg *cfg, vt_subject_cdb callback)
{
    if (!cfg || !callback)
        return 1;
    cfg->cdb = callback;
    return 0;
}

int vt_subject_cfg_set_auto(vt_subject_cfg *cfg)
{
    if (!cfg)
        return 1;
    cfg->flags |= vt_subject_flag_auto;
    return 0;
}

int vt_subject_cfg_set_request_timeout(vt_subject_cfg *cfg, unsigned milliseconds)
{
    if (!cfg)
        return 1;
    cfg->request_timeout = milliseconds;
    return 0;
}

int vt_subject_cfg_set_stack_size(vt_subject_cfg *cfg, size_t bytes)
{
    if (!cfg)
        return 1;
    cfg->stack_size = bytes + vt_ptc_format::kHeaderSize;
    return 0;
}

int vt_subject_cfg_set_notifier(vt_subject_cfg *cfg, vt_subject_notify_cb callback, void *user)
{
    if (!cfg)
        return 1;
    cfg->notifier = callback;
    cfg->notifier_user_data = user;
    return 0;
}

// ---- the subject object ----

int vt_subject_init(vt_subject **slot, const vt_subject_cfg *cfg)
{
    if (!slot || *slot || !cfg || !cfg->logger)
        return 1;
    std::unique_ptr<vt_subject, subject_deleter> subject(new (std::nothrow) vt_subject{});
    if (!subject)
        return 1;
    subject->flags = cfg->flags;
    subject->logger = cfg->logger;
    subject->request_timeout = cfg->request_timeout;
    subject->cdb = cfg->cdb;
    subject->notifier = cfg->notifier;
    subject->notifier_user_data = cfg->notifier_user_data;
    if (vt_lock_init(&subject->lock) || vt_buffer_init(&subject->scratch, 0) ||
        vt_db_init(&subject->db, nullptr) || vt_cfg_init(&subject->transport) ||
        vt_cfg_set_caller(subject->transport, vt_subject_protocol, cfg->stack_size))
        return 1;
    if ((subject->flags & vt_subject_flag_auto) &&
        vt_cache_init(&subject->cache, vt_cache_capacity_default))
        return 1;
    *slot = subject.release();
    return 0;
}

int vt_subject_deit(vt_subject **slot)
{
    if (!slot || !*slot)
        return 1;
    vt_subject *subject = *slot;
    if (subject->web || subject->monitor)
        vt_subject_stop(subject);
    vt_json_obj_deit(&subject->credentials);
    vt_cache_deit(&subject->cache);
    vt_cfg_deit(&subject->transport);
    vt_db_deit(&subject->db);
    vt_buffer_deit(&subject->scratch);
    vt_lock_deit(&subject->lock);
    delete subject;
    *slot = nullptr;
    return 0;
}

int vt_subject_start(vt_subject *subject, const vt_string *url, const vt_string *username,
                     const vt_string *password)
{
    if (VT_NIL(4, subject, url, username, password) || !url->text)
        return 1;
    if (vt_lock_acquire(subject->lock))
        return VT_ERR("failed to lock subject object");
    int result = 0;
    if (subject->web) {
        result = VT_ERR("subject object is already started");
    } else if (vt_web_init(&subject->web, vt_web_type_client, url->text, subject->transport, subject)) {
        vt_syslog_log(subject->logger, 0, "Failed to connect to subject on %s.\n", url->text);
        result = vt_subject_start_no_channel;
    } else if (make_credentials(subject, username, password)) {
        result = VT_ERR("failed to cache credentials");
    }
    if (vt_lock_release(subject->lock) && result == 0)
        result = VT_ERR("failed to unlock subject object");
    if (result == 0 && vt_ptc_status_send_json(subject, VT_PTC_SUBJECT_LOGIN_REQ, subject->credentials,
                                               "subject login")) {
        const char *host = subject->web->url->host;
        vt_syslog_log(subject->logger, 0, "Failed to log into subject on %s.\n", host ? host : "");
        result = vt_subject_start_no_login;
    }
    if (result)
        release_session(subject);
    return result;
}

int vt_subject_stop(vt_subject *subject)
{
    if (VT_NIL(1, subject))
        return 1;
    // A monitor still waiting on the channel's event must not outlive the channel.
    if (subject->monitor && vt_subject_stop_monitor(subject))
        return VT_ERR("failed to stop monitor");
    return release_session(subject);
}

int vt_subject_start_monitor(vt_subject *subject, vt_subject_monitor_cb callback, void *user)
{
    if (VT_NIL(2, subject, callback))
        return 1;
    if (vt_lock_acquire(subject->lock))
        return VT_ERR("failed to lock subject object");
    int result = 0;
    if (!subject->web) {
        result = VT_ERR("invalid web object");
    } else if (subject->monitor) {
        result = VT_ERR("monitor is already running");
    } else {
        subject->monitor_cb = callback;
        subject->monitor_user_data = user;
        if (vt_thread_init(&subject->monitor))
            result = VT_ERR("failed to create thread object");
        else if (vt_thread_start(subject->monitor, vt_subject_monitor, subject))
            result = VT_ERR("failed to start thread");
        if (result) {
            vt_thread_deit(&subject->monitor);
            subject->monitor_cb = nullptr;
            subject->monitor_user_data = nullptr;
        }
    }
    if (vt_lock_release(subject->lock))
        return VT_ERR("failed to unlock subject object");
    return result;
}

int vt_subject_stop_monitor(vt_subject *subject)
{
    if (VT_NIL(1, subject))
        return 1;
    if (vt_lock_acquire(subject->lock))
        return VT_ERR("failed to lock subject object");
    int result = 0;
    if (subject->monitor) {
        // The signal wakes the monitor, which runs its callback once and ends.
        if (vt_web_conn_fail(subject->web) || vt_thread_join(subject->monitor))
            result = VT_ERR("failed to join monitor thread");
        vt_thread_deit(&subject->monitor);
        subject->monitor_cb = nullptr;
        subject->monitor_user_data = nullptr;
    }
    if (vt_lock_release(subject->lock))
        return VT_ERR("failed to unlock subject object");
    return result;
}

// ---- requests ----

int vt_ptc_status_send_json(vt_subject *subject, uint8_t opcode, vt_json_obj *document,
                            const char *name)
{
    if (VT_NIL(2, subject, name))
        return 1;
    int result = 1; // stored by the response handler
    vt_task *task = nullptr;
    if (vt_lock_acquire(subject->lock))
        return VT_ERR("failed to lock subject object");
    vt_web *web = subject->web;
    const int sent = send_with_task(subject, opcode, document, &task, &result);
    int failed = vt_lock_release(subject->lock) ? VT_ERR("failed to unlock subject object") : 0;
    if (sent)
        failed = VT_ERR("failed to send %s request", name);
    else if (!failed && wait_response(subject, task))
        failed = VT_ERR("timeout on %s response", name);
    // Freed first: a late handler holding the task may still store into `result`.
    if (task)
        vt_web_task_free(web, &task);
    if ((failed || result) && web)
        vt_web_conn_fail(web);
    return failed || result ? 1 : 0;
}

int vt_ptc_es_target_list_req(vt_subject *subject)
{
    return vt_ptc_status_send_json(subject, VT_PTC_TARGET_LIST_REQ, nullptr, "target list");
}

int vt_ptc_es_shutdown_req(vt_subject *subject)
{
    return vt_ptc_status_send_json(subject, VT_PTC_SUBJECT_SHUTDOWN_REQ, nullptr, "subject shutdown");
}

int vt_ptc_es_subject_info_req(vt_subject *subject, vt_subject_info **slot)
{
    if (VT_NIL(2, subject, slot) || *slot)
        return 1;
    vt_task *task = nullptr;
    if (vt_lock_acquire(subject->lock))
        return VT_ERR("failed to lock subject object");
    vt_web *web = subject->web;
    const int sent = send_with_task(subject, VT_PTC_SUBJECT_INFO_REQ, nullptr, &task, slot);
    int failed = vt_lock_release(subject->lock) ? VT_ERR("failed to unlock subject object") : 0;
    if (sent)
        failed = VT_ERR("failed to send subject information request");
    else if (!failed && wait_response(subject, task))
        failed = VT_ERR("timeout on subject information request");
    if (task)
        vt_web_task_free(web, &task);
    // Read only now: until the task is freed the handler may still be filling the slot.
    if (!failed && !*slot)
        failed = VT_ERR("failed to load subject information");
    return failed;
}

int vt_subject_info_init(vt_subject_info **slot, const vt_json_obj *document)
{
    if (!slot || *slot || !document)
        return 1;
    info_ptr info(new (std::nothrow) vt_subject_info{});
    if (!info || vt_json_obj_copy(&info->document, document) ||
        vt_db_subject_load(&info->record, info->document))
        return 1;
    *slot = info.release();
    return 0;
}

int vt_subject_info_deit(vt_subject_info **slot)
{
    if (!slot || !*slot)
        return 1;
    vt_json_obj_deit(&(*slot)->document);
    delete *slot;
    *slot = nullptr;
    return 0;
}

// ---- responses ----

int vt_ptc_status_recv(vt_subject *subject, vt_web *channel, uint8_t *message, size_t size,
                       vt_ptc_status_cb callback, const char *name)
{
    int outcome = 1;
    vt_ptc_req response = {};
    if (vt_ptc_req_init(&response, message, size)) {
        VT_ERR("failed to load %s response", name);
    } else {
        request_guard release(&response);
        if (status_accepted(response.message))
            outcome = callback ? callback(subject, &response) : 0;
        else
            VT_ERR("%s request failed on %x; %.*s", name, response.message->error,
                   static_cast<int>(response.error_length), response.error);
    }
    // The waiting request learns the outcome, whatever it was.
    return vt_ptc_status_sync(channel, outcome);
}

static int vt_ptc_se_subject_info_res(vt_web *channel, uint8_t *message, size_t size)
{
    vt_ptc_req response = {};
    if (vt_ptc_req_init(&response, message, size))
        return VT_ERR("failed to load subject information response");
    request_guard release(&response);
    vt_subject_info *loaded = nullptr;
    if (vt_subject_info_init(&loaded, response.body))
        return VT_ERR("failed to load subject information object");
    info_ptr info(loaded);
    vt_task *task = nullptr;
    void *user = nullptr;
    if (vt_web_task(channel, &task) || vt_task_get_user_data_(task, &user) || !user)
        return VT_ERR("failed to get task node and user data");
    auto *requester = static_cast<vt_subject_info **>(user);
    // A second answer to one request must not overwrite (and leak) the first.
    if (*requester)
        return VT_ERR("subject information request already answered");
    *requester = info.release();
    if (vt_cond_signal(vt_task_cond(task)))
        return VT_ERR("failed to sync task node on subject information request");
    return 0;
}

// Delivers each {"msg", "tag"} element to the notifier, stopping at the first bad one.
static int vt_ptc_se_notify(vt_subject *subject, uint8_t *message, size_t size)
{
    vt_ptc_req response = {};
    if (vt_ptc_req_init(&response, message, size))
        return VT_ERR("failed to load notification object");
    request_guard release(&response);
    vt_json_arr *raw = nullptr;
    size_t count = 0;
    if (!response.body || vt_json_obj_get_array(response.body, "messages", &raw))
        return VT_ERR("failed to load notification messages");
    json_arr_ptr messages(raw);
    if (vt_json_arr_size(raw, &count) || count == 0)
        return VT_ERR("failed to load notification messages");
    for (size_t i = 0; i < count; ++i) {
        vt_json_obj *element = nullptr;
        if (vt_json_arr_get_object(raw, &element, i))
            return VT_ERR("failed to query notification message");
        json_obj_ptr owned(element);
        int64_t tag = 0;
        const char *text = nullptr;
        size_t length = 0;
        if (vt_json_obj_get_number(element, "tag", &tag) ||
            vt_json_obj_get_string(element, "msg", &text, &length))
            return VT_ERR("malform notification message");
        if (subject->notifier)
            subject->notifier(text, length, subject->notifier_user_data, static_cast<uint32_t>(tag));
    }
    return 0;
}

// Routes one message by its opcode; called with the subject lock held.
static int route_message(vt_subject *subject, vt_web *channel, uint8_t *message, size_t size)
{
    if (size == 0)
        return VT_ERR("detected an empty message");
    const uint8_t opcode = message[vt_ptc_format::kOpcodeOffset];
    switch (opcode) {
    case VT_PTC_TARGET_LIST_RES:
        return vt_ptc_status_recv(subject, channel, message, size, vt_ptc_se_target_list_cb,
                                  vt_ptc_opcode_find(opcode)->name);
    case VT_PTC_TARGET_LOGIN_RES:
    case VT_PTC_TARGET_LOGOUT_RES:
    case VT_PTC_SUBJECT_LOGIN_RES:
    case VT_PTC_SUBJECT_SHUTDOWN_RES:
    case VT_PTC_SUBJECT_ECHO_RES:
        return vt_ptc_status_recv(subject, channel, message, size, nullptr,
                                  vt_ptc_opcode_find(opcode)->name);
    case VT_PTC_TARGET_READ_RES:
        return vt_ptc_se_target_read_res(subject, channel, message, size);
    case VT_PTC_SUBJECT_INFO_RES:
        return vt_ptc_se_subject_info_res(channel, message, size);
    case VT_PTC_NOTIFY:
        return vt_ptc_se_notify(subject, message, size);
    default:
        return VT_ERR("detected invalid opcode %u", opcode);
    }
}

int vt_subject_protocol(mg_connection *, int, uint8_t *message, size_t size, vt_web *channel)
{
    void *user = nullptr;
    if (vt_web_user_data_(channel, &user) || !user) {
        VT_ERR("failed to get subject object");
        return vt_handle_exception;
    }
    auto *subject = static_cast<vt_subject *>(user);
    if (vt_lock_acquire(subject->lock)) {
        VT_ERR("failed to lock subject object");
        return vt_handle_exception;
    }
    int failed = route_message(subject, channel, message, size);
    if (vt_lock_release(subject->lock))
        failed = VT_ERR("failed to unlock subject object");
    return failed ? vt_handle_exception : vt_handle_done;
}
