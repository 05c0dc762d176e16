// The file calls on POSIX, for native builds. Windows share modes have no
// POSIX counterpart and are not enforced; every FileCreate is its own open(),
// so each handle keeps its own file position as a Win32 handle does.
// A symbolic link stands for a second name of a file, as a short 8.3 name
// is on Windows: FileFindName reports the name it points to.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <limits>
#include <string>

#include "platform/files.h"

namespace PELBROOK_FILE_CALLS_NAMESPACE {
namespace {

struct PosixFile {
    int fd = -1;
};

// UTF-8 of a wide path; false for a value that is no Unicode scalar or a NUL.
bool ToUtf8(const wchar_t* path, std::string& out) {
    out.clear();
    for (const wchar_t* p = path; *p != L'\0'; ++p) {
        const auto c = static_cast<std::uint32_t>(*p);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            return false;
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c <= 0x10FFFF) {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            return false;
        }
    }
    return !out.empty();
}

// The wide text of UTF-8 bytes; false for bytes that are no UTF-8.
bool FromUtf8(const std::string& bytes, std::wstring& out) {
    out.clear();
    for (std::size_t i = 0; i < bytes.size();) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        const int extra = lead < 0x80 ? 0 : lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : -1;
        if (extra < 0 || bytes.size() - i <= static_cast<std::size_t>(extra)) return false;
        std::uint32_t c = extra == 0 ? lead : lead & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + static_cast<std::size_t>(k)]);
            if ((next & 0xC0) != 0x80) return false;
            c = (c << 6) | (next & 0x3F);
        }
        out += static_cast<wchar_t>(c);
        i += static_cast<std::size_t>(extra) + 1;
    }
    return true;
}

int Descriptor(FileHandle file) {
    if (file == nullptr || file == InvalidFile()) return -1;
    return static_cast<PosixFile*>(file)->fd;
}

}  // namespace

FileHandle FileCreate(const wchar_t* path, std::uint32_t access, std::uint32_t /*shareMode*/, std::uint32_t disposition,
                      std::uint32_t /*attributes*/) {
    std::string utf8;
    if (path == nullptr || !ToUtf8(path, utf8)) return InvalidFile();
    int flags = O_CLOEXEC | ((access & GenericWrite) != 0 ? O_WRONLY : O_RDONLY);
    if (disposition == CreateAlways) {
        flags |= O_CREAT | O_TRUNC;
    } else if (disposition != OpenExisting) {
        return InvalidFile();
    }
    int fd = -1;
    do {
        fd = ::open(utf8.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return InvalidFile();
    return new PosixFile{fd};
}

bool FileSetPointer(FileHandle file, std::uint64_t distance, std::uint32_t moveMethod) {
    const int fd = Descriptor(file);
    if (fd < 0) return false;
    // The callers only place from the start; the distance is a signed 64-bit number for the platform call.
    const auto signedDistance = static_cast<std::int64_t>(distance);
    if (moveMethod != FileBegin || signedDistance < 0) return false;
    if (signedDistance > std::numeric_limits<off_t>::max()) return false;
    return ::lseek(fd, static_cast<off_t>(signedDistance), SEEK_SET) >= 0;
}

bool FileSetEnd(FileHandle file) {
    const int fd = Descriptor(file);
    if (fd < 0) return false;
    const off_t position = ::lseek(fd, 0, SEEK_CUR);
    return position >= 0 && ::ftruncate(fd, position) == 0;
}

bool FileWrite(FileHandle file, const void* buffer, std::uint32_t bytesToWrite, std::uint32_t* bytesWritten) {
    if (bytesWritten != nullptr) *bytesWritten = 0;
    const int fd = Descriptor(file);
    if (fd < 0 || (buffer == nullptr && bytesToWrite != 0)) return false;
    // A disk file takes the whole write at once on Windows; write() may take it in parts.
    const char* data = static_cast<const char*>(buffer);
    std::uint32_t done = 0;
    while (done < bytesToWrite) {
        const ssize_t n = ::write(fd, data + done, bytesToWrite - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (bytesWritten != nullptr) *bytesWritten = done;
            return false;
        }
        done += static_cast<std::uint32_t>(n);
    }
    if (bytesWritten != nullptr) *bytesWritten = done;
    return true;
}

bool FileClose(FileHandle file) {
    if (file == nullptr || file == InvalidFile()) return false;
    auto* f = static_cast<PosixFile*>(file);
    const bool ok = ::close(f->fd) == 0;
    delete f;
    return ok;
}

bool FileGetSize(const wchar_t* path, std::uint64_t* size) {
    std::string utf8;
    if (path == nullptr || size == nullptr || !ToUtf8(path, utf8)) return false;
    struct stat info {};
    if (::stat(utf8.c_str(), &info) != 0) return false;
    *size = S_ISREG(info.st_mode) ? static_cast<std::uint64_t>(info.st_size) : 0;
    return true;
}

bool FileDelete(const wchar_t* path) {
    std::string utf8;
    if (path == nullptr || !ToUtf8(path, utf8)) return false;
    return ::unlink(utf8.c_str()) == 0;
}

// rename() always replaces an existing target; without the replace flag an
// existing target refuses the move, as MoveFileExW does. Write-through has no
// counterpart here.
bool FileMove(const wchar_t* from, const wchar_t* to, std::uint32_t flags) {
    std::string source;
    std::string target;
    if (from == nullptr || to == nullptr || !ToUtf8(from, source) || !ToUtf8(to, target)) return false;
    struct stat info {};
    if ((flags & MoveFileReplaceExisting) == 0 && ::stat(target.c_str(), &info) == 0) return false;
    return ::rename(source.c_str(), target.c_str()) == 0;
}

bool FileFindName(const wchar_t* path, wchar_t* name) {
    std::string utf8;
    if (path == nullptr || name == nullptr || !ToUtf8(path, utf8)) return false;
    struct stat info {};
    if (::lstat(utf8.c_str(), &info) != 0) return false;
    std::string target = utf8;
    if (S_ISLNK(info.st_mode)) {
        char link[4096];
        const ssize_t length = ::readlink(utf8.c_str(), link, sizeof(link));
        if (length <= 0 || static_cast<std::size_t>(length) >= sizeof(link)) return false;
        target.assign(link, static_cast<std::size_t>(length));
    }
    std::wstring own;
    // Named as Windows splits a path, where a backslash separates too.
    if (!FromUtf8(target.substr(target.find_last_of("/\\") + 1), own) || own.size() >= FileNameChars) return false;
    own.copy(name, own.size());
    name[own.size()] = L'\0';
    return true;
}

}  // namespace PELBROOK_FILE_CALLS_NAMESPACE
