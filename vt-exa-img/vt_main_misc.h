// The commands vt_imager dispatches. Each takes the options record and the
// console log and returns the process exit code (0 to 8).
#pragma once

#include "vt_opt.h"
#include "vt_syslog.h"

int vt_exa_img_start(vt_opt *opt, vt_syslog *console);
int vt_exa_img_stop(vt_opt *opt, vt_syslog *console);
int vt_exa_img_status(vt_opt *opt, vt_syslog *console);
int vt_exa_img_restart(vt_opt *opt, vt_syslog *console);
int vt_exa_img_remove(vt_opt *opt, vt_syslog *console);
