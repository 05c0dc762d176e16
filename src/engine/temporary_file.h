// The job's temporary file from its name to its end: every job ends with it
// either in place of the output file or deleted, and nothing else in the
// program moves or deletes it.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

#include "engine/download_job.h"

namespace pelbrook {

// In the same folder as the output file, so that the last step is a rename on
// one volume, and named after it with the request's tag (which makes it the
// job's own) and ".part", so that nobody takes it for a finished download.
// Where that would pass the longest path Windows opens without the long-path
// opt-in while the output path does not, the tag alone names it; where even
// that is too long, the same path in its long form (\\?\ before it).
std::wstring TemporaryPathFor(const DownloadRequest& request);

// Paths longer than this are refused by programs without the long-path opt-in.
inline constexpr std::size_t LongestPlainPath = 259;

// The one step that touches the output path: the whole temporary file takes
// its place, replacing an existing file only now. A scanner or indexer that
// holds the fresh file for a moment makes the rename fail, so it is tried
// again a few times; once `cancel` is set (the window may be closing) nothing
// more is tried. False leaves the temporary file where it was.
bool ReplaceOutputFile(const std::wstring& temporaryPath, const std::wstring& outputPath,
                       const std::atomic<bool>* cancel);

// True when a file or folder stands at the output path under another name of
// its own: the path's last part is, say, another file's short 8.3 name, which
// Windows resolves to that file. Replacing it would destroy that file. A name
// that differs in letter case only is the same name on Windows.
bool OutputPathNamesAnotherFile(const std::wstring& outputPath);

// Deletes it, trying again a few times while another program holds it.
void DeleteTemporaryFile(const std::wstring& temporaryPath);

// For the window thread as the window closes: one try and no waiting, since
// the process ends right after. The file is opened so that it can be deleted
// while the job still writes it.
void AbandonTemporaryFile(const DownloadRequest& request);

}  // namespace pelbrook
