#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <knownfolders.h>

#include <algorithm>
#include <cwchar>
#include <thread>
#include <utility>

#include "platform/window_services.h"

namespace pelbrook::platform {

static_assert(WmUser == WM_USER);
static_assert(MaxPathChars == MAX_PATH);
static_assert(ShowNormal == SW_SHOWNORMAL);

namespace {
HWND AsWindow(WindowHandle window) { return static_cast<HWND>(window); }
}  // namespace

void SetControlText(WindowHandle control, const wchar_t* text) { SetWindowTextW(AsWindow(control), text); }

int ControlTextLength(WindowHandle control) { return GetWindowTextLengthW(AsWindow(control)); }

int GetControlText(WindowHandle control, wchar_t* buffer, int capacity) {
    return GetWindowTextW(AsWindow(control), buffer, capacity);
}

void EnableControl(WindowHandle control, bool enable) { EnableWindow(AsWindow(control), enable ? TRUE : FALSE); }

WindowHandle FindChildControl(WindowHandle parent, int id) { return GetDlgItem(AsWindow(parent), id); }

void SetProgressRange(WindowHandle bar, std::uint16_t minimum, std::uint16_t maximum) {
    SendMessageW(AsWindow(bar), PBM_SETRANGE, 0, MAKELPARAM(minimum, maximum));
}

void SetProgressPosition(WindowHandle bar, std::uint32_t position) {
    SendMessageW(AsWindow(bar), PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void StartTimer(WindowHandle window, std::uintptr_t id, std::uint32_t periodMs) {
    SetTimer(AsWindow(window), static_cast<UINT_PTR>(id), periodMs, nullptr);
}

void StopTimer(WindowHandle window, std::uintptr_t id) { KillTimer(AsWindow(window), static_cast<UINT_PTR>(id)); }

bool PostWindowMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
    return PostMessageW(AsWindow(window), message, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam)) != FALSE;
}

std::uint64_t TickCount() { return GetTickCount64(); }

std::uint32_t DoubleClickTimeMs() { return GetDoubleClickTime(); }

std::uint32_t CurrentProcessId() { return GetCurrentProcessId(); }

void ShellExecuteOpen(const wchar_t* verb, const wchar_t* file, const wchar_t* parameters, int showCommand) {
    ShellExecuteW(nullptr, verb, file, parameters, nullptr, showCommand);
}

bool GetProfileFolder(wchar_t* buffer) {
    return SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, buffer));
}

bool GetDownloadsKnownFolder(wchar_t* buffer) {
    PWSTR path = nullptr;
    const bool found = SUCCEEDED(SHGetKnownFolderPath(FOLDERID_Downloads, 0, nullptr, &path)) && path != nullptr &&
                       std::wcslen(path) < static_cast<std::size_t>(MaxPathChars);
    if (found) std::copy_n(path, std::wcslen(path) + 1, buffer);
    CoTaskMemFree(path);
    return found;
}

bool GetWindowsFolder(wchar_t* buffer) {
    const UINT length = GetWindowsDirectoryW(buffer, MAX_PATH);
    return length > 0 && length < MAX_PATH;
}

bool PathExists(const wchar_t* path) { return PathFileExistsW(path) != FALSE; }

const wchar_t* FindFileName(const wchar_t* path) { return PathFindFileNameW(path); }

bool StartDetachedThread(std::function<void()> body) {
    try {
        std::thread(std::move(body)).detach();
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace pelbrook::platform
