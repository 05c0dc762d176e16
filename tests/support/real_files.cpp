// The build's real file calls in a namespace of their own, so that
// test_files.cpp can put the recorder and the faults in front of them.
#define PELBROOK_FILE_CALLS_NAMESPACE pelbrook::platform::real

#if defined(_WIN32)
#include "platform/win32/win32_files.cpp"
#else
#include "platform/posix/posix_files.cpp"
#endif
