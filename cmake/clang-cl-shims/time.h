// Needed by libc++ 14 over Wine 8's msvcrt headers: libc++'s <ctime> and
// its thread support take struct timespec from time.h, as the Windows C
// runtime has it; Wine's time.h leaves it out.
#pragma once
#include_next <time.h>

struct timespec {
  time_t tv_sec;
  long tv_nsec;
};
