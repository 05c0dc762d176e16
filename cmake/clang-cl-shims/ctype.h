// Needed by libc++ 14 over Wine 8's msvcrt headers: libc++'s <cctype> and
// its Windows locale support use the locale-taking islower and isupper, as
// the Windows C runtime has them; Wine's ctype.h leaves them out.
#pragma once
#include_next <ctype.h>

#ifdef __cplusplus
extern "C" {
#endif
int __cdecl _islower_l(int, _locale_t);
int __cdecl _isupper_l(int, _locale_t);
#ifdef __cplusplus
}
#endif
