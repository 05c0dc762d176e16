// The build's real file calls under other names, so that test_files.cpp can
// put the recorder and the faults in front of them without touching them.
#define FileCreate RealFileCreate
#define FileSetPointer RealFileSetPointer
#define FileSetEnd RealFileSetEnd
#define FileWrite RealFileWrite
#define FileClose RealFileClose
#define FileGetSize RealFileGetSize
#define FileDelete RealFileDelete
#define FileMove RealFileMove

#if defined(_WIN32)
#include "platform/win32/win32_files.cpp"
#else
#include "platform/posix/posix_files.cpp"
#endif
