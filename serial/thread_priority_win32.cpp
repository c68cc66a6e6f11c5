// On Windows the component's priorities are the system's own thread priority
// levels (THREAD_PRIORITY_HIGHEST 2, THREAD_PRIORITY_ABOVE_NORMAL 1), which a
// process may set for its threads without privileges.
//
// serial/thread.h comes before <windows.h>, which defines the same names as
// macros with the same values.
#include "serial/thread.h"

#include <windows.h>

namespace qx17 {

void SetCurrentThreadPriority(int priority) {
    (void)::SetThreadPriority(::GetCurrentThread(), priority);
}

}  // namespace qx17
