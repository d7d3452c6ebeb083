// A pid that names no process, for tests of stale pid files.
#include "vt_test_pid.h"

#include <sys/wait.h>
#include <unistd.h>

namespace vt_test {

pid_t dead_pid()
{
    const pid_t child = fork();
    if (child == 0)
        _exit(0);
    int status = 0;
    waitpid(child, &status, 0);
    return child;
}

} // namespace vt_test
