// The start and cancel flow and the background job thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "engine/download_job.h"
#include "window/app_state.h"

namespace pelbrook {

void StartDownload();
void RequestCancel();
// The Download/Cancel button was pressed.
void OnStartButton();
void JobThreadMain(DownloadRequest request, std::uint32_t jobNumber, std::shared_ptr<SharedJob> job);
void OnJobStatus(std::uintptr_t wParam, std::intptr_t lParam);
void OnJobFinished(std::uintptr_t wParam);
// A tick of the progress timer: the progress display, or, once a canceled job
// has not wound down in time, the end of the wait for it.
void OnProgressTimer();
void SetInputsEnabled(bool enable);

// The two callbacks a job hands to the engine; both work on the job's own record.
void StoreJobProgress(SharedJob& job, std::uint64_t done, std::uint64_t total);
void PostJobStatus(SharedJob& job, std::uint32_t jobNumber, const std::wstring& line);

// The connection count the field's text asks for, read as a C runtime
// text-to-int conversion reads it; empty when the number does not fit in
// 32 bits. An empty text means 16.
std::optional<std::int32_t> ParseConnectionCount(const std::wstring& text);

// The window thread's share when the main window is destroyed: stop the job
// and the timer, and delete the job's temporary file. The process then ends
// without waiting for the job.
void OnMainWindowDestroyed();
// WM_ENDSESSION: when the session does end (log-off, shutdown, a restart),
// the window's share is that of its destruction. A canceled shutdown (false)
// changes nothing.
void OnSessionEnd(bool ending);

}  // namespace pelbrook
