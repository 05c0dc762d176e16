#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cwchar>

#include "platform/files.h"

namespace PELBROOK_FILE_CALLS_NAMESPACE {

static_assert(GenericWrite == GENERIC_WRITE);
static_assert(FileShareRead == FILE_SHARE_READ);
static_assert(FileShareWrite == FILE_SHARE_WRITE);
static_assert(FileShareDelete == FILE_SHARE_DELETE);
static_assert(MoveFileReplaceExisting == MOVEFILE_REPLACE_EXISTING);
static_assert(MoveFileWriteThrough == MOVEFILE_WRITE_THROUGH);
static_assert(CreateAlways == CREATE_ALWAYS);
static_assert(OpenExisting == OPEN_EXISTING);
static_assert(FileAttributeNormal == FILE_ATTRIBUTE_NORMAL);
static_assert(FileBegin == FILE_BEGIN);
static_assert(FileNameChars == sizeof(WIN32_FIND_DATAW::cFileName) / sizeof(wchar_t));

FileHandle FileCreate(const wchar_t* path, std::uint32_t access, std::uint32_t shareMode, std::uint32_t disposition,
                      std::uint32_t attributes) {
    HANDLE file = CreateFileW(path, access, shareMode, nullptr, disposition, attributes, nullptr);
    return file == INVALID_HANDLE_VALUE ? InvalidFile() : static_cast<FileHandle>(file);
}

bool FileSetPointer(FileHandle file, std::uint64_t distance, std::uint32_t moveMethod) {
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(distance);
    return SetFilePointerEx(static_cast<HANDLE>(file), to, nullptr, moveMethod) != FALSE;
}

bool FileSetEnd(FileHandle file) { return SetEndOfFile(static_cast<HANDLE>(file)) != FALSE; }

bool FileWrite(FileHandle file, const void* buffer, std::uint32_t bytesToWrite, std::uint32_t* bytesWritten) {
    DWORD put = 0;
    const BOOL ok = WriteFile(static_cast<HANDLE>(file), buffer, bytesToWrite, &put, nullptr);
    if (bytesWritten != nullptr) *bytesWritten = put;
    return ok != FALSE;
}

bool FileClose(FileHandle file) { return CloseHandle(static_cast<HANDLE>(file)) != FALSE; }

bool FileGetSize(const wchar_t* path, std::uint64_t* size) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return false;
    *size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

bool FileDelete(const wchar_t* path) { return DeleteFileW(path) != FALSE; }

bool FileMove(const wchar_t* from, const wchar_t* to, std::uint32_t flags) {
    return MoveFileExW(from, to, flags) != FALSE;
}

bool FileFindName(const wchar_t* path, wchar_t* name) {
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW(path, &data);
    if (search == INVALID_HANDLE_VALUE) return false;
    FindClose(search);
    data.cFileName[FileNameChars - 1] = L'\0';
    std::copy_n(data.cFileName, std::wcslen(data.cFileName) + 1, name);
    return true;
}

}  // namespace PELBROOK_FILE_CALLS_NAMESPACE
