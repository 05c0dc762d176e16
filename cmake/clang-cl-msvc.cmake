# A compile check in MSVC mode from Debian's packages alone: clang-cl 14 with
# Wine 8's Windows SDK and C runtime headers (libwine-dev) and libc++ 14's
# headers (libc++-14-dev). There is no MSVC runtime nor import library here,
# so nothing links: the configure checks build static libraries, and the
# msvc-check preset compiles every object and the resource script but does
# not link the exe.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(CMAKE_CXX_COMPILER clang-cl-14)
set(CMAKE_CXX_COMPILER_TARGET x86_64-pc-windows-msvc)
set(CMAKE_RC_COMPILER llvm-rc-14)
set(CMAKE_AR llvm-lib-14)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# libc++ first, as its C wrappers look for the C headers after themselves;
# the shims stand before the Wine headers they complete. -imsvc makes them
# all system headers, so /W4 /WX judges our own code only.
#   -Wpedantic                 clang-cl takes GNU extensions such as zero-size
#                              arrays quietly, which cl rejects.
#   _LIBCPP_NO_VCRUNTIME       libc++ would take its exception classes from
#                              vcruntime_exception.h, which is not here.
#   WINE_UNICODE_NATIVE        Wine's WCHAR is char16_t in C++ without it;
#                              on Windows it is wchar_t.
#   _InterlockedCompareExchange128
#                              Wine's winnt.h defines it, clang has it as a
#                              builtin: Wine's gets another name.
set(pelbrook_wine_include /usr/include/wine/wine)
set(CMAKE_CXX_FLAGS_INIT
  "-imsvc /usr/lib/llvm-14/include/c++/v1 -imsvc ${CMAKE_CURRENT_LIST_DIR}/clang-cl-shims \
-imsvc ${pelbrook_wine_include}/msvcrt -imsvc ${pelbrook_wine_include}/windows \
-Wpedantic /D_LIBCPP_NO_VCRUNTIME /DWINE_UNICODE_NATIVE \
/D_InterlockedCompareExchange128=wine_InterlockedCompareExchange128")
set(CMAKE_RC_FLAGS_INIT "/I ${pelbrook_wine_include}/windows")

# A configure check that only compiles finds every library it looks for. Say
# what a linking MSVC build finds, no pthread library, so that FindThreads
# takes Windows threads.
set(CMAKE_HAVE_PTHREADS_CREATE FALSE CACHE INTERNAL "")
set(CMAKE_HAVE_PTHREAD_CREATE FALSE CACHE INTERNAL "")
