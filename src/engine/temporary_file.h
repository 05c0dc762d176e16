// The job's temporary file from its name to its end: every job ends with it
// either in place of the output file or deleted, and nothing else in the
// program moves or deletes it.
#pragma once

#include <atomic>
#include <string>

#include "engine/download_job.h"

namespace pelbrook {

// In the same folder as the output file, so that the last step is a rename on
// one volume, and named after it with the request's tag (which makes it the
// job's own) and ".part", so that nobody takes it for a finished download.
std::wstring TemporaryPathFor(const DownloadRequest& request);

// The one step that touches the output path: the whole temporary file takes
// its place, replacing an existing file only now. A scanner or indexer that
// holds the fresh file for a moment makes the rename fail, so it is tried
// again a few times; once `cancel` is set (the window may be closing) nothing
// more is tried. Whatever does not end at the output path is deleted.
bool ReplaceOutputFile(const std::wstring& temporaryPath, const std::wstring& outputPath,
                       const std::atomic<bool>* cancel);

// Deletes it, trying again a few times while another program holds it.
void DeleteTemporaryFile(const std::wstring& temporaryPath);

// For the window thread as the window closes: one try and no waiting, since
// the process ends right after. The file is opened so that it can be deleted
// while the job still writes it.
void AbandonTemporaryFile(const DownloadRequest& request);

}  // namespace pelbrook
