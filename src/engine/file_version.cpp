#include "engine/file_version.h"

#include "transport/http_request.h"

namespace pelbrook {

FileVersion ReadFileVersion(const std::wstring& rawHeaders) {
    return FileVersion{GetHeaderValue(rawHeaders, L"ETag"), GetHeaderValue(rawHeaders, L"Last-Modified")};
}

bool SameFileVersion(const FileVersion& probed, const FileVersion& answered) {
    if (!probed.etag.empty() && !answered.etag.empty()) {
        return probed.etag == answered.etag;
    }
    if (!probed.lastModified.empty() && !answered.lastModified.empty()) {
        return probed.lastModified == answered.lastModified;
    }
    return true;
}

}  // namespace pelbrook
