// On POSIX a thread's priority is its own nice value (Linux schedules threads
// individually). Raising it needs privileges most users lack, so this is best
// effort: without them the threads run at normal priority, which is plenty for
// a 9600 bit/s line.
#include <sys/resource.h>
#include <unistd.h>

#include "serial/thread.h"

#ifdef __linux__
#include <sys/syscall.h>
#endif

namespace qx17 {

void SetCurrentThreadPriority(int priority) {
#ifdef __linux__
    if (priority != THREAD_PRIORITY_NORMAL) {
        const auto tid = static_cast<id_t>(::syscall(SYS_gettid));
        (void)::setpriority(PRIO_PROCESS, tid, -priority);
    }
#else
    (void)priority;
#endif
}

}  // namespace qx17
