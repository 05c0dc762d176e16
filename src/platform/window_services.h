// The window-system and shell calls the window logic relies on. Each function
// mirrors one platform call with the arguments the callers pass; the
// implementation is chosen at link time:
//   src/platform/win32/win32_window_services.cpp   the product
//   tests/support/recording_window.cpp             a recording stand-in
// Only PostWindowMessage may be called from a thread other than the window's.
#pragma once

#include <cstdint>
#include <functional>

namespace pelbrook::platform {

using WindowHandle = void*;  // HWND

inline constexpr std::uint32_t WmUser = 0x0400;
inline constexpr int MaxPathChars = 260;
inline constexpr int ShowNormal = 1;  // SW_SHOWNORMAL

// SetWindowTextW.
void SetControlText(WindowHandle control, const wchar_t* text);
// GetWindowTextLengthW.
int ControlTextLength(WindowHandle control);
// GetWindowTextW: copies at most capacity - 1 characters and a terminator;
// returns the number of characters copied.
int GetControlText(WindowHandle control, wchar_t* buffer, int capacity);
// EnableWindow.
void EnableControl(WindowHandle control, bool enable);
// GetDlgItem.
WindowHandle FindChildControl(WindowHandle parent, int id);
// SendMessageW with PBM_SETRANGE (minimum in the low word, maximum in the high word).
void SetProgressRange(WindowHandle bar, std::uint16_t minimum, std::uint16_t maximum);
// SendMessageW with PBM_SETPOS.
void SetProgressPosition(WindowHandle bar, std::uint32_t position);
// SetTimer without a timer procedure; ticks arrive as WM_TIMER.
void StartTimer(WindowHandle window, std::uintptr_t id, std::uint32_t periodMs);
// KillTimer.
void StopTimer(WindowHandle window, std::uintptr_t id);
// PostMessageW; callable from any thread, never waits.
bool PostWindowMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);
// GetTickCount64.
std::uint64_t TickCount();
// GetDoubleClickTime: the longest time between the two clicks of a double-click.
std::uint32_t DoubleClickTimeMs();
// GetCurrentProcessId.
std::uint32_t CurrentProcessId();
// ShellExecuteW without an owner window or working directory.
void ShellExecuteOpen(const wchar_t* verb, const wchar_t* file, const wchar_t* parameters, int showCommand);
// SHGetFolderPathW(NULL, CSIDL_PROFILE, NULL, SHGFP_TYPE_CURRENT, buffer) into a
// buffer of MaxPathChars characters; true when the call succeeded.
bool GetProfileFolder(wchar_t* buffer);
// SHGetKnownFolderPath(FOLDERID_Downloads, 0, NULL), copied into a buffer of
// MaxPathChars characters and freed; false when the call fails or the path
// does not fit.
bool GetDownloadsKnownFolder(wchar_t* buffer);
// GetWindowsDirectoryW into a buffer of MaxPathChars characters; false when it fails.
bool GetWindowsFolder(wchar_t* buffer);
// PathFileExistsW.
bool PathExists(const wchar_t* path);
// PathFindFileNameW.
const wchar_t* FindFileName(const wchar_t* path);
// Runs `body` on a new thread that nobody joins; false when no thread could be made.
bool StartDetachedThread(std::function<void()> body);

}  // namespace pelbrook::platform
