// The state that the window thread shares with the background job, the two
// private window messages, the progress timer and the control IDs.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/download_job.h"
#include "platform/window_services.h"

namespace pelbrook {

struct JobOutcome {
    std::wstring summary;
    std::wstring savedPath;
    bool succeeded = false;
};

// What one job and the window share. The job thread holds it until it ends,
// and the window while the job is its latest and it still waits for it; so a
// job the window has stopped waiting for writes only into a record that
// nobody reads any more.
struct SharedJob {
    CancelFlag cancel{false};
    std::atomic<std::uint64_t> bytesDone{0};
    std::atomic<std::uint64_t> bytesTotal{0};  // 0 means unknown
    // Filled by the job thread before it raises `finished` and posts WM_JOB_FINISHED.
    JobOutcome outcome;
    std::atomic<bool> finished{false};
    // The job's status string while its WM_JOB_STATUS is on the way; whoever
    // takes it out of here owns it.
    std::atomic<std::wstring*> postedStatus{nullptr};

    SharedJob() = default;
    SharedJob(const SharedJob&) = delete;
    SharedJob& operator=(const SharedJob&) = delete;
    ~SharedJob() { delete postedStatus.load(); }
};

// The window thread's own record of the latest job, made afresh at each start.
struct JobView {
    std::uint32_t number = 0;  // 0 before the first job
    // Its temporary file goes on the way out if the window stops waiting or closes.
    DownloadRequest request;
    std::shared_ptr<SharedJob> shared;  // null once the window stopped waiting for the job
    std::wstring modeLine;              // as the job announced it; empty until then
    bool cancelAsked = false;
    std::uint64_t cancelTick = 0;  // when Cancel was first pressed
    std::uint64_t startTick = 0;
    std::uint64_t lastSampleTick = 0;
    std::uint64_t lastSampleBytes = 0;
    double speedBytesPerSec = 0.0;
};

struct AppState {
    platform::WindowHandle mainWindow = nullptr;
    platform::WindowHandle urlEdit = nullptr;
    platform::WindowHandle folderEdit = nullptr;
    platform::WindowHandle connectionsEdit = nullptr;
    platform::WindowHandle startButton = nullptr;
    platform::WindowHandle modeLabel = nullptr;
    platform::WindowHandle progressBar = nullptr;
    platform::WindowHandle statusLabel = nullptr;

    bool running = false;
    // Any program on the desktop can post our message numbers, so the window
    // acts only on what its latest job itself handed over.
    JobView job;
};

// The one process-wide instance. It is never destroyed, so that a job thread
// still running while the process exits never meets a released record.
extern AppState& App;

inline constexpr std::uint32_t WM_JOB_FINISHED = platform::WmUser + 1;
inline constexpr std::uint32_t WM_JOB_STATUS = platform::WmUser + 2;

inline constexpr std::uintptr_t IDT_PROGRESS = 1;
inline constexpr std::uint32_t ProgressTimerPeriodMs = 200;
inline constexpr std::uint32_t ProgressBarFullScale = 1000;
// How long after the first Cancel the window waits for the job to wind down by
// itself before it lets the job go; with a timer tick on top, the finished line
// still shows within 2 s.
inline constexpr std::uint64_t CancelWaitMs = 1500;

// The window's own texts.
inline constexpr wchar_t TextModeAtStartUp[] =
    L"Mode: Paste a URL and click Download to check whether acceleration is available.";
inline constexpr wchar_t TextReady[] = L"Ready.";
inline constexpr wchar_t TextPasteUrlFirst[] = L"Paste a download URL first.";
inline constexpr wchar_t TextConnectionsOutOfRange[] = L"Connections must be between 1 and 32.";
static_assert(MaxConnections == 32, "the refusal names the most connections a job runs");
inline constexpr wchar_t TextDownload[] = L"Download";
inline constexpr wchar_t TextCancel[] = L"Cancel";
inline constexpr wchar_t TextModeChecking[] = L"Mode: Checking server support...";
inline constexpr wchar_t TextConnecting[] = L"Connecting to server...";
inline constexpr wchar_t TextCanceling[] = L"Canceling...";
inline constexpr wchar_t TextNotStarted[] = L"Could not start the download.";
inline constexpr wchar_t TextSavedTo[] = L" Saved to: ";
inline constexpr wchar_t TextTime[] = L"  |  Time: ";

inline constexpr int IDC_URL_EDIT = 101;
inline constexpr int IDC_FOLDER_EDIT = 102;
inline constexpr int IDC_BROWSE = 103;
inline constexpr int IDC_CONNECTIONS_EDIT = 104;
inline constexpr int IDC_START = 105;
inline constexpr int IDC_PROGRESS = 106;
inline constexpr int IDC_STATUS = 107;
inline constexpr int IDC_MODE = 108;

}  // namespace pelbrook
