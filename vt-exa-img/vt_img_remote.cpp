// Remote reads of the image job's work units: each unit's read is one request on
// the run's subject session, completed on the session's reader thread, so the
// ring size is the number of reads in flight.
#include <chrono>

#include "vt_buffer.h"
#include "vt_exa.h"
#include "vt_examiner.h"
#include "vt_img.h"
#include "vt_task.h"
#include "vt_thread.h"
#include "vt_web.h"

namespace {

// Slice of the wait for a read's completion, so a stop is seen promptly.
constexpr unsigned read_wait_slice_ms = 1000;

} // namespace

int vt_io_read_vantrel(vt_io *unit, vt_exa *exa, uint64_t offset, uint64_t n)
{
    if (VT_NIL(2, unit, exa))
        return 1;
    if (!exa->session || !exa->session->web)
        return VT_ERR("examiner object is not started");
    // The previous read of this unit has completed: the unit was written since.
    if (unit->task && vt_web_task_free(exa->session->web, &unit->task))
        return VT_ERR("failed to free task object");
    unit->input->used = 0;
    unit->output->used = 0;
    if (n > unit->input->capacity)
        return VT_ERR("failed on invalid length");
    unit->read_length = n;
    if (vt_subject_target_read(exa->session, exa->target_id, offset, n, unit->input, &unit->task,
                               unit))
        return VT_ERR("failed to send read request");
    return 0;
}

int vt_io_wait_vantrel(vt_io *unit, vt_exa *exa, vt_img *job)
{
    if (VT_NIL(3, unit, exa, job))
        return 1;
    vt_cond *answered = vt_task_cond(unit->task);
    if (!answered)
        return 0;
    // Reads are not waited for by the session, so nothing else notices a subject
    // that keeps the connection open and stops answering: the oldest read in
    // flight gets the same bound as every other request of the session.
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(exa->cfg ? exa->cfg->request_timeout
                                                             : vt_exa_request_timeout_ms);
    while (vt_cond_wait_timed(answered, read_wait_slice_ms)) {
        if (vt_img_get_sentinel(job))
            return 0;
        if (std::chrono::steady_clock::now() >= deadline) {
            exa->lost = 1;
            if (exa->session && exa->session->web)
                vt_web_conn_fail(exa->session->web);
            return VT_ERR("timeout on target read response");
        }
    }
    return 0;
}

int vt_exa_read_cdb_worker(const uint8_t *, size_t length, void *user, uint32_t error)
{
    auto *unit = static_cast<vt_io *>(user);
    if (!unit)
        return VT_ERR("invalid io object");
    // The subject's answer must be exactly the bytes asked for; anything else would
    // shift every later byte of the image.
    unit->state = error != 0 || length != unit->read_length ? VT_IO_FAILED : VT_IO_NORMAL;
    if (vt_io_dispatch(unit))
        return 1;
    return 0;
}

void vt_exa_sentinel_worker(void *job)
{
    vt_img_set_sentinel(static_cast<vt_img *>(job));
}
