// A recording stand-in for platform/window_services.h, for native tests. It
// keeps every control text, enabled state, progress bar setting, timer,
// posted message and shell call, lets the test drive the tick count, the
// profile folder and the existence answers, and runs job threads as real
// threads that the test can join.
// PostWindowMessage is safe from any thread; the rest belongs to the test's thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/window_services.h"

namespace pelbrook::testing {

using platform::WindowHandle;

struct PostedMessage {
    WindowHandle window = nullptr;
    std::uint32_t message = 0;
    std::uintptr_t wParam = 0;
    std::intptr_t lParam = 0;
};

struct ShellCall {
    std::wstring verb;
    std::wstring file;
    std::wstring parameters;
    int showCommand = 0;
};

struct ProgressBarState {
    bool rangeSet = false;
    std::uint16_t minimum = 0;
    std::uint16_t maximum = 0;
    std::uint32_t position = 0;
    std::vector<std::uint32_t> positions;  // every position set, in order
};

struct TimerState {
    bool active = false;
    std::uint32_t periodMs = 0;
    int starts = 0;
    int stops = 0;
};

struct ControlState {
    std::wstring text;
    std::vector<std::wstring> textHistory;  // every text set, in order
    bool enabled = true;                    // true until disabled
    std::vector<bool> enableHistory;
};

struct WindowLog {
    std::map<WindowHandle, ControlState> controls;
    std::vector<WindowHandle> enableOrder;  // the controls in the order their enabled state was changed
    std::map<WindowHandle, ProgressBarState> bars;
    std::map<std::pair<WindowHandle, std::uintptr_t>, TimerState> timers;
    std::vector<ShellCall> shellCalls;
    std::vector<std::wstring> existenceQueries;
    int threadsStarted = 0;
    std::size_t pendingMessages = 0;  // posted and not yet pumped or taken

    // What was recorded for one control, bar or timer; its defaults when never touched.
    const ControlState& Control(WindowHandle control) const;
    const ProgressBarState& Bar(WindowHandle bar) const;
    const TimerState& Timer(WindowHandle window, std::uintptr_t id) const;
};

// Forgets everything recorded and every answer set before; joins the job
// threads still running first. Made windows stay valid handles.
void ResetRecordingWindow();

// A new distinct window handle; `id` makes it findable under `parent`.
WindowHandle MakeWindow(WindowHandle parent = nullptr, int id = 0);

WindowLog RecordedWindow();

// Sets a control's text as the user would (no history entry).
void TypeText(WindowHandle control, const std::wstring& text);

// What DoubleClickTimeMs and CurrentProcessId answer. Not Windows' default
// double-click time of 500 ms, so that a window assuming the default shows.
inline constexpr std::uint32_t RecordedDoubleClickTimeMs = 730;
inline constexpr std::uint32_t RecordedProcessId = 4242;

void SetTickCount(std::uint64_t milliseconds);
void AdvanceTickCount(std::uint64_t milliseconds);

// What GetWindowsFolder answers.
inline constexpr wchar_t RecordedWindowsFolder[] = L"C:\\windows";

// nullopt makes the profile lookup fail; so does it the known Downloads folder's (the default).
void SetProfileFolder(std::optional<std::wstring> folder);
void SetDownloadsKnownFolder(std::optional<std::wstring> folder);
void SetExistingPaths(std::vector<std::wstring> paths);

// When set, posts fail (the window is gone) and nothing is queued.
void FailPosts(bool fail);
void FailThreadStarts(bool fail);
// Joins every job thread started so far; call before checking what they left.
void JoinJobThreads();

// Hands queued messages, in posting order, to `dispatch` on the calling
// thread until `done` returns true or `limit` passes. True when `done` held.
bool PumpMessagesUntil(const std::function<void(const PostedMessage&)>& dispatch, const std::function<bool()>& done,
                       std::chrono::milliseconds limit);
// Takes every queued message without dispatching it.
std::vector<PostedMessage> TakeMessages();

}  // namespace pelbrook::testing
