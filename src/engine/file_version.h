#pragma once

#include <string>

namespace pelbrook {

// Which version of the remote file an answer comes from, as its validators
// name it; empty when the answer names none. A file replaced on the server
// during a job keeps its size more often than not (padded images), so only
// these tell a segment of the new version from one of the old.
struct FileVersion {
    std::wstring etag;
    std::wstring lastModified;
};

FileVersion ReadFileVersion(const std::wstring& rawHeaders);

// False when `answered` names another version than `probed`: by ETag when both
// have one (compared as text, so a weak tag never equals a strong one), else
// by Last-Modified when both have one. An answer without the probe's
// validator cannot be judged and passes.
bool SameFileVersion(const FileVersion& probed, const FileVersion& answered);

}  // namespace pelbrook
