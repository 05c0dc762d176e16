#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "transport/body_stream.h"
#include "platform/http_client.h"
#include "transport/url_parts.h"

namespace pelbrook {

// One plain GET of the whole file into a new file at `outputPath` (the job's
// temporary file, which the job deletes unless the transfer succeeds). Every
// handle is closed when it returns.
// True only for a body of exactly `expectedTotal` bytes, the size the probe
// learnt, under a Content-Length that is absent or says the same.
bool DownloadSingleConnection(platform::HttpHandle session, const UrlParts& url, const std::wstring& outputPath,
                              ProgressCallback progress, const std::atomic<bool>* cancel, std::uint64_t expectedTotal);

}  // namespace pelbrook
