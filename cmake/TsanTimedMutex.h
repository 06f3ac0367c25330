// Included ahead of every C++ source of the ThreadSanitizer build
// (CVF_TSAN).
//
// libstdc++ 12 makes std::timed_mutex::try_lock_for (and try_lock_until on
// the steady clock) wait in pthread_mutex_clocklock, and
// shared_timed_mutex in pthread_rwlock_clock*lock. The ThreadSanitizer
// runtimes of GCC 12 and clang 14 do not intercept these calls: TSan never
// sees such a mutex taken, so it reports the unlock as "unlock of an
// unlocked mutex" and everything the mutex guards as a data race
// (CLockedStopwatch's mutex, for one).
//
// With these macros gone libstdc++ waits in pthread_mutex_timedlock and
// pthread_rwlock_timed*lock on a system-clock deadline instead, calls TSan
// does intercept: it sees every time the mutex is taken, and no report
// has to be suppressed. Only the wait's deadline moves to the system clock.
#pragma once

#if __has_include(<bits/c++config.h>)
#include <bits/c++config.h>
#undef _GLIBCXX_USE_PTHREAD_MUTEX_CLOCKLOCK
#undef _GLIBCXX_USE_PTHREAD_RWLOCK_CLOCKLOCK
#endif
