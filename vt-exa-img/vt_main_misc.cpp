// Bodies of the vt_imager commands. The job engine is not part of this build
// yet, so every command reports that and fails with the generic code 1.
#include "vt_main_misc.h"

int vt_exa_img_start(vt_opt *, vt_syslog *)
{
    return VT_ERR("failed to start image job; not available in this build");
}

int vt_exa_img_stop(vt_opt *, vt_syslog *)
{
    return VT_ERR("failed to stop image job; not available in this build");
}

int vt_exa_img_status(vt_opt *, vt_syslog *)
{
    return VT_ERR("failed to query image job status; not available in this build");
}

int vt_exa_img_restart(vt_opt *, vt_syslog *)
{
    return VT_ERR("failed to restart image job; not available in this build");
}

int vt_exa_img_remove(vt_opt *, vt_syslog *)
{
    return VT_ERR("failed to remove image job; not available in this build");
}
