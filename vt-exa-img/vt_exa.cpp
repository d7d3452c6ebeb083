// The imager's examiner object: connects to the job's subject with the job's
// credentials, finds and logs into the target for a run, watches the connection,
// and describes the target for the job document.
#include <cstring>
#include <memory>
#include <new>

#include "vt_db.h"
#include "vt_exa.h"
#include "vt_examiner.h"
#include "vt_json.h"
#include "vt_pwd.h"
#include "vt_ptr.h"

namespace {

struct exa_release {
    void operator()(vt_exa *exa) const;
};
using exa_ptr = std::unique_ptr<vt_exa, exa_release>;

// A session that is always disconnected and freed, whatever step failed.
struct session_release {
    void operator()(vt_subject *session) const
    {
        vt_subject_stop(session);
        vt_subject_deit(&session);
    }
};
using session_ptr = std::unique_ptr<vt_subject, session_release>;

using json_ptr = vt_owner<vt_json_obj, vt_json_obj_deit>;

struct target_release {
    void operator()(vt_db_target *record) const { vt_subject_target_free(record); }
};
using target_guard = std::unique_ptr<vt_db_target, target_release>;

// Frees a string whose bytes must not linger in memory (the clear-text password).
void string_wipe(vt_string *string)
{
    if (string->text)
        explicit_bzero(string->text, string->length);
    vt_string_free(string);
}

void exa_release::operator()(vt_exa *exa) const
{
    if (exa->session)
        vt_exa_stop(exa);
    vt_subject_cfg_deit(&exa->cfg);
    vt_string_free(&exa->subject);
    vt_string_free(&exa->target);
    vt_string_free(&exa->username);
    string_wipe(&exa->password);
    delete exa;
}

int load_text(vt_json_obj *section, const char *key, vt_string *out)
{
    const char *text = nullptr;
    size_t length = 0;
    if (vt_json_obj_get_string(section, key, &text, &length))
        return 1;
    return vt_string_copy(out, text, length);
}

int vt_exa_json_load(vt_exa *exa, vt_json_obj *vantrel)
{
    if (load_text(vantrel, "subject", &exa->subject))
        return VT_ERR("failed to get subject string");
    if (load_text(vantrel, "target", &exa->target))
        return VT_ERR("failed to get target string");
    if (load_text(vantrel, "username", &exa->username))
        return VT_ERR("failed to get username string");
    if (vt_json_obj_get_pwd(vantrel, "password", &exa->password))
        return VT_ERR("failed to get password string");
    return 0;
}

// Creates a session from the configuration, connects and logs in.
int session_open(vt_exa *exa, session_ptr *out)
{
    vt_subject *raw = nullptr;
    if (vt_subject_init(&raw, exa->cfg))
        return VT_ERR("failed to create subject object");
    session_ptr session(raw);
    if (vt_subject_start(session.get(), &exa->subject, &exa->username, &exa->password))
        return VT_ERR("failed to connect to %s", exa->subject.text);
    *out = std::move(session);
    return 0;
}

// Lists the subject's targets and finds the job's target by name.
int session_find_target(vt_exa *exa, vt_subject *session, uint32_t *id)
{
    if (vt_ptc_es_target_list_req(session))
        return VT_ERR("failed to get target list from %s", exa->subject.text);
    if (vt_subject_target_by_name(session, &exa->target, id))
        return VT_ERR("failed to find %s on %s", exa->target.text, exa->subject.text);
    return 0;
}

// The target object of the job document: the record's document form with the
// block size and count as number strings.
int target_object(vt_exa *exa, vt_subject *session, uint32_t id, vt_json_obj **obj)
{
    vt_db_target record = {};
    target_guard guard(&record);
    if (vt_subject_target_id(session, id, &record) || !record.name.text)
        return VT_ERR("failed to find %s on %s", exa->target.text, exa->subject.text);
    vt_json_obj *raw = nullptr;
    if (vt_db_target_dump(&record, &raw))
        return VT_ERR("failed to get target object");
    json_ptr target(raw);
    if (vt_json_obj_number_string(target.get(), "block_size", record.block_size) ||
        vt_json_obj_number_string(target.get(), "block_count", record.block_count))
        return VT_ERR("failed to write target object");
    *obj = target.release();
    return 0;
}

} // namespace

int vt_exa_init(vt_exa **slot, vt_json_obj *vantrel, vt_syslog *log)
{
    if (VT_NIL(3, slot, vantrel, log))
        return 1;
    if (*slot)
        return VT_ERR("invalid paramater");
    exa_ptr exa(new (std::nothrow) vt_exa{});
    if (!exa)
        return VT_ERR("out of memory");
    exa->log = log;
    if (vt_exa_json_load(exa.get(), vantrel))
        return VT_ERR("failed to load json");
    if (vt_subject_cfg_init(&exa->cfg, log))
        return VT_ERR("failed to create subject cfg object");
    if (vt_subject_cfg_set_request_timeout(exa->cfg, vt_exa_request_timeout_ms))
        return VT_ERR("failed to set request timeout");
    *slot = exa.release();
    return 0;
}

int vt_exa_deit(vt_exa **slot)
{
    if (!slot || !*slot)
        return 1;
    exa_release{}(*slot);
    *slot = nullptr;
    return 0;
}

int vt_exa_get_target_object(vt_exa *exa, vt_json_obj **obj)
{
    if (VT_NIL(2, exa, obj))
        return 1;
    if (*obj)
        return VT_ERR("invalid paramater");
    session_ptr session;
    uint32_t id = 0;
    if (session_open(exa, &session) || session_find_target(exa, session.get(), &id) ||
        target_object(exa, session.get(), id, obj))
        return 1;
    return 0;
}

int vt_exa_start(vt_exa *exa, vt_exa_cdb read_completion, vt_exa_disconnect_cb disconnect_handler,
                 void *job)
{
    if (VT_NIL(3, exa, read_completion, disconnect_handler))
        return 1;
    if (exa->session)
        return VT_ERR("examiner object is already started");
    if (vt_subject_cfg_set_cdb(exa->cfg, read_completion))
        return VT_ERR("failed to set subject cfg cdb");
    session_ptr session;
    uint32_t id = 0;
    if (session_open(exa, &session) || session_find_target(exa, session.get(), &id))
        return 1;
    if (vt_subject_target_login(session.get(), id))
        return VT_ERR("failed to log into %s on %s", exa->target.text, exa->subject.text);
    if (vt_subject_start_monitor(session.get(), disconnect_handler, job)) {
        vt_subject_target_logout(session.get(), id);
        return VT_ERR("failed to start subject disconnect monitor");
    }
    exa->session = session.release();
    exa->target_id = id;
    exa->logged_in = 1;
    exa->lost = 0;
    return 0;
}

int vt_exa_stop(vt_exa *exa)
{
    if (VT_NIL(1, exa))
        return 1;
    if (!exa->session)
        return 0;
    int result = 0;
    if (vt_subject_stop_monitor(exa->session))
        result = VT_ERR("failed to stop subject disconnect monitor");
    // Over a lost connection the logout cannot succeed: the cleared mark is what
    // later tells the job that the run ended for want of its subject. A failed
    // channel no longer reads and a stalled subject no longer answers, so there
    // the logout is not sent only to wait out the request timeout.
    const vt_web *channel = exa->session->web;
    const bool gone = exa->lost || !channel || channel->failed.load() != 0;
    if (gone || vt_subject_target_logout(exa->session, exa->target_id)) {
        result = VT_ERR("failed to log out from %s on %s", exa->target.text, exa->subject.text);
        exa->logged_in = 0;
    }
    if (vt_subject_stop(exa->session))
        result = VT_ERR("failed to disconnect from %s", exa->subject.text);
    vt_subject_deit(&exa->session);
    exa->target_id = 0;
    return result;
}
