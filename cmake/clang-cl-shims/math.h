// Needed by libc++ 14 over Wine 8's msvcrt headers: libc++'s <cmath> names
// the long double functions and the few float and double ones below, which
// the Windows C runtime has and Wine's math.h leaves out. long double is
// double in MSVC mode, so declarations are all a compile check needs.
#pragma once
#include_next <math.h>

#ifdef __cplusplus
extern "C" {
#endif
double __cdecl erfc(double);
float __cdecl erfcf(float);
double __cdecl nexttoward(double, long double);
float __cdecl nexttowardf(float, long double);

#define PELBROOK_SHIM_LONG_DOUBLE_1(name) long double __cdecl name##l(long double);
#define PELBROOK_SHIM_LONG_DOUBLE_2(name) long double __cdecl name##l(long double, long double);
PELBROOK_SHIM_LONG_DOUBLE_1(acos) PELBROOK_SHIM_LONG_DOUBLE_1(acosh) PELBROOK_SHIM_LONG_DOUBLE_1(asin)
PELBROOK_SHIM_LONG_DOUBLE_1(asinh) PELBROOK_SHIM_LONG_DOUBLE_1(atan) PELBROOK_SHIM_LONG_DOUBLE_1(atanh)
PELBROOK_SHIM_LONG_DOUBLE_1(cbrt) PELBROOK_SHIM_LONG_DOUBLE_1(ceil) PELBROOK_SHIM_LONG_DOUBLE_1(cos)
PELBROOK_SHIM_LONG_DOUBLE_1(cosh) PELBROOK_SHIM_LONG_DOUBLE_1(erf) PELBROOK_SHIM_LONG_DOUBLE_1(erfc)
PELBROOK_SHIM_LONG_DOUBLE_1(exp) PELBROOK_SHIM_LONG_DOUBLE_1(exp2) PELBROOK_SHIM_LONG_DOUBLE_1(expm1)
PELBROOK_SHIM_LONG_DOUBLE_1(fabs) PELBROOK_SHIM_LONG_DOUBLE_1(floor) PELBROOK_SHIM_LONG_DOUBLE_1(lgamma)
PELBROOK_SHIM_LONG_DOUBLE_1(log) PELBROOK_SHIM_LONG_DOUBLE_1(log10) PELBROOK_SHIM_LONG_DOUBLE_1(log1p)
PELBROOK_SHIM_LONG_DOUBLE_1(log2) PELBROOK_SHIM_LONG_DOUBLE_1(logb) PELBROOK_SHIM_LONG_DOUBLE_1(nearbyint)
PELBROOK_SHIM_LONG_DOUBLE_1(sin) PELBROOK_SHIM_LONG_DOUBLE_1(sinh) PELBROOK_SHIM_LONG_DOUBLE_1(sqrt)
PELBROOK_SHIM_LONG_DOUBLE_1(tan) PELBROOK_SHIM_LONG_DOUBLE_1(tanh) PELBROOK_SHIM_LONG_DOUBLE_1(tgamma)
PELBROOK_SHIM_LONG_DOUBLE_2(atan2) PELBROOK_SHIM_LONG_DOUBLE_2(fdim) PELBROOK_SHIM_LONG_DOUBLE_2(fmax)
PELBROOK_SHIM_LONG_DOUBLE_2(fmin) PELBROOK_SHIM_LONG_DOUBLE_2(fmod) PELBROOK_SHIM_LONG_DOUBLE_2(hypot)
PELBROOK_SHIM_LONG_DOUBLE_2(nextafter) PELBROOK_SHIM_LONG_DOUBLE_2(nexttoward) PELBROOK_SHIM_LONG_DOUBLE_2(pow)
PELBROOK_SHIM_LONG_DOUBLE_2(remainder)
#undef PELBROOK_SHIM_LONG_DOUBLE_1
#undef PELBROOK_SHIM_LONG_DOUBLE_2
long double __cdecl frexpl(long double, int*);
int __cdecl ilogbl(long double);
long double __cdecl ldexpl(long double, int);
long double __cdecl modfl(long double, long double*);
long double __cdecl remquol(long double, long double, int*);
long double __cdecl scalblnl(long double, long);
long double __cdecl scalbnl(long double, int);
#ifdef __cplusplus
}
#endif
