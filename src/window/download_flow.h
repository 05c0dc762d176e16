// The start and cancel flow and the background job thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace pelbrook {

void StartDownload();
void RequestCancel();
void JobThreadMain(std::wstring url, std::wstring outputPath, std::int32_t connections);
void OnJobStatus(std::intptr_t lParam);
void OnJobFinished();
void SetInputsEnabled(bool enable);

// The two callbacks a job hands to the engine; both work on App alone.
void StoreJobProgress(std::uint64_t done, std::uint64_t total);
void PostJobStatus(const std::wstring& line);

// The connection count the field's text asks for, read as a C runtime
// text-to-int conversion reads it; empty when the number does not fit in
// 32 bits. An empty text means 16.
std::optional<std::int32_t> ParseConnectionCount(const std::wstring& text);

// The window thread's share when the main window is destroyed: stop the job
// and the timer.
void OnMainWindowDestroyed();

// Waits, at most `limit`, until every job thread has left the engine, so that
// a canceled job has cleaned up its output file. True when none is left.
bool WaitForJobThreads(std::chrono::milliseconds limit);

// How long the process waits at exit: the engine's longest network wait plus a margin.
inline constexpr std::chrono::milliseconds ExitWaitForJob{75000};

}  // namespace pelbrook
