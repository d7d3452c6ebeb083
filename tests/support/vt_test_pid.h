// Process identifiers for tests of pid files and liveness checks.
#pragma once

#include <sys/types.h>

namespace vt_test {

// The pid of a child that has ended and been reaped: it names no process (until
// the system reuses it, which a test's few moments make unlikely).
pid_t dead_pid();

} // namespace vt_test
