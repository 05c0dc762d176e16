// Needed by libc++ 14 over Wine 8's msvcrt headers: libc++'s <cstdlib> and
// its Windows locale support use MB_CUR_MAX and the locale-taking strtod
// and strtof, as the Windows C runtime has them; Wine's stdlib.h leaves them out.
#pragma once
#include_next <stdlib.h>

#ifndef MB_CUR_MAX
#define MB_CUR_MAX ___mb_cur_max_func()
#endif
#ifdef __cplusplus
extern "C" {
#endif
double __cdecl _strtod_l(const char*, char**, _locale_t);
float __cdecl _strtof_l(const char*, char**, _locale_t);
#ifdef __cplusplus
}
#endif
