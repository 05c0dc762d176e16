// Drives the Pelbrook window from outside, the way a person at the keyboard
// would: it finds the window by its class, fills the fields, presses the
// buttons and reads back what the window shows. A test script sends one
// command per line on standard input and reads one answer per line on standard
// output; every answer starts with "ok" or "err". Texts travel as UTF-8; state
// answers are JSON objects.
//
//   desktop NAME           work on the named desktop (Wine's virtual desktop of the app) once found
//   find TIMEOUT_MS        wait for the window of class PelbrookWindow
//   state                  texts, enabled flags and bar position of all controls
//   settext ID TEXT        replace a control's text (WM_SETTEXT); TEXT may be empty
//   type ID TEXT           select the field's text and type TEXT over it, key by key
//   click ID               press a button (BM_CLICK), then report the status line and button text
//   rect                   the main window's rectangle on the screen
//   screenrect ID          a control's rectangle on the screen (for the real mouse)
//   windows                the visible top-level windows of every process
//   closewindow HWND       ask a top-level window to close (WM_CLOSE)
//   waitprocess PID MS     wait for a process to end; answers its exit code
//   terminate PID          end a process that the test started and that did not end by itself
//   close                  ask the main window to close
//   endsession 1|0         send the main window WM_QUERYENDSESSION, then WM_ENDSESSION with
//                          that wParam, as Windows does when the session ends (1) or is kept (0)
//   quit                   end the driver

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <commctrl.h>

#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <vector>

#include "utf8_text.h"
#include "window/app_state.h"

namespace {

constexpr UINT MessageTimeoutMs = 5000;
using namespace pelbrook;
constexpr int ControlIds[] = {IDC_URL_EDIT, IDC_FOLDER_EDIT, IDC_BROWSE, IDC_CONNECTIONS_EDIT,
                              IDC_START,    IDC_PROGRESS,    IDC_STATUS, IDC_MODE};

HWND g_main = nullptr;
HDESK g_desktop = nullptr;
bool g_joined = false;

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
            out += escaped;
        } else {
            out += c;
        }
    }
    out += '"';
    return out;
}

// Every message to the other process is bounded, so a hung window fails the
// test instead of hanging it.
bool Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result = nullptr) {
    DWORD_PTR value = 0;
    const LRESULT ok = SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, MessageTimeoutMs, &value);
    if (result != nullptr) {
        *result = static_cast<LRESULT>(value);
    }
    return ok != 0;
}

std::wstring WindowText(HWND window) {
    LRESULT length = 0;
    if (window == nullptr || !Send(window, WM_GETTEXTLENGTH, 0, 0, &length) || length <= 0) {
        return std::wstring();
    }
    std::vector<wchar_t> buffer(static_cast<std::size_t>(length) + 1, L'\0');
    LRESULT copied = 0;
    Send(window, WM_GETTEXT, static_cast<WPARAM>(buffer.size()), reinterpret_cast<LPARAM>(buffer.data()), &copied);
    return std::wstring(buffer.data());
}

std::wstring ClassOf(HWND window) {
    wchar_t name[256] = {};
    GetClassNameW(window, name, 256);
    return name;
}

HWND Control(int id) { return g_main != nullptr ? GetDlgItem(g_main, id) : nullptr; }

void Answer(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string StateJson() {
    std::string json = "{";
    bool first = true;
    for (const int id : ControlIds) {
        HWND control = Control(id);
        if (!first) {
            json += ",";
        }
        first = false;
        json += '"';
        json += std::to_string(id);
        json += "\":{\"exists\":";
        json += control != nullptr ? "true" : "false";
        json += ",\"text\":" + JsonString(ToUtf8(WindowText(control)));
        json += ",\"enabled\":";
        json += (control != nullptr && IsWindowEnabled(control)) ? "true" : "false";
        json += ",\"class\":" + JsonString(ToUtf8(control != nullptr ? ClassOf(control) : std::wstring()));
        json += "}";
    }
    LRESULT position = -1;
    LRESULT high = -1;
    HWND bar = Control(IDC_PROGRESS);
    if (bar != nullptr) {
        Send(bar, PBM_GETPOS, 0, 0, &position);
        Send(bar, PBM_GETRANGE, FALSE, 0, &high);
    }
    json += ",\"barPos\":" + std::to_string(static_cast<long long>(position));
    json += ",\"barHigh\":" + std::to_string(static_cast<long long>(high));
    json += ",\"title\":" + JsonString(ToUtf8(WindowText(g_main)));
    json += ",\"mainVisible\":";
    json += (g_main != nullptr && IsWindowVisible(g_main)) ? "true" : "false";
    json += "}";
    return json;
}

struct WindowList {
    std::string json = "[";
    bool first = true;
};

BOOL CALLBACK ListWindow(HWND window, LPARAM param) {
    auto* list = reinterpret_cast<WindowList*>(param);
    if (!IsWindowVisible(window)) {
        return TRUE;
    }
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    RECT rect{};
    GetWindowRect(window, &rect);
    if (!list->first) {
        list->json += ",";
    }
    list->first = false;
    list->json += "{\"hwnd\":" + std::to_string(reinterpret_cast<std::uintptr_t>(window));
    list->json += ",\"pid\":" + std::to_string(pid);
    list->json += ",\"class\":" + JsonString(ToUtf8(ClassOf(window)));
    list->json += ",\"title\":" + JsonString(ToUtf8(WindowText(window)));
    list->json += ",\"rect\":[" + std::to_string(rect.left) + "," + std::to_string(rect.top) + "," +
                  std::to_string(rect.right) + "," + std::to_string(rect.bottom) + "]}";
    return TRUE;
}

// Splits "ID REST" into the number and the rest (which may be empty).
bool SplitIdAndText(const std::string& args, int& id, std::string& rest) {
    const std::size_t space = args.find(' ');
    const std::string number = args.substr(0, space);
    if (number.empty()) {
        return false;
    }
    id = std::atoi(number.c_str());
    rest = space == std::string::npos ? std::string() : args.substr(space + 1);
    return id != 0;
}

BOOL CALLBACK FindPelbrook(HWND window, LPARAM param) {
    if (ClassOf(window) == L"PelbrookWindow") {
        *reinterpret_cast<HWND*>(param) = window;
        return FALSE;
    }
    return TRUE;
}

// Looks for the window from outside the desktop first: a thread that joins a
// desktop before its desktop window exists would make Wine start a second
// desktop process for it.
std::string Find(const std::string& args) {
    const DWORD timeoutMs = static_cast<DWORD>(std::strtoul(args.c_str(), nullptr, 10));
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        HWND found = nullptr;
        if (g_desktop != nullptr) {
            EnumDesktopWindows(g_desktop, FindPelbrook, reinterpret_cast<LPARAM>(&found));
        } else {
            found = FindWindowW(L"PelbrookWindow", nullptr);
        }
        if (found != nullptr) {
            if (g_desktop != nullptr && !g_joined) {
                if (!SetThreadDesktop(g_desktop)) {
                    return "err cannot join the desktop";
                }
                g_joined = true;
            }
            g_main = found;
            if (Control(IDC_STATUS) != nullptr) {
                return "ok " + std::to_string(reinterpret_cast<std::uintptr_t>(g_main));
            }
        }
        if (GetTickCount64() >= deadline) {
            g_main = nullptr;
            return "err no window of class PelbrookWindow";
        }
        Sleep(50);
    }
}

std::string Type(HWND field, const std::wstring& text) {
    Send(field, EM_SETSEL, 0, -1);
    for (const wchar_t c : text) {
        if (!Send(field, WM_CHAR, static_cast<WPARAM>(c), 1)) {
            return "err typing timed out";
        }
    }
    return "ok";
}

std::string Handle(const std::string& line) {
    const std::size_t space = line.find(' ');
    const std::string command = line.substr(0, space);
    const std::string args = space == std::string::npos ? std::string() : line.substr(space + 1);

    if (command == "desktop") {
        g_desktop = OpenDesktopW(FromUtf8(args).c_str(), 0, FALSE, GENERIC_ALL);
        return g_desktop != nullptr ? "ok" : "err no desktop " + args;
    }
    if (command == "find") {
        return Find(args);
    }
    if (command == "terminate") {
        const DWORD pid = static_cast<DWORD>(std::strtoul(args.c_str(), nullptr, 10));
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
        if (process == nullptr) {
            return "err no such process";
        }
        const bool ended =
            TerminateProcess(process, 99) && WaitForSingleObject(process, MessageTimeoutMs) == WAIT_OBJECT_0;
        CloseHandle(process);
        return ended ? "ok" : "err could not end it";
    }
    if (command == "waitprocess") {
        const std::size_t split = args.find(' ');
        const DWORD pid = static_cast<DWORD>(std::strtoul(args.substr(0, split).c_str(), nullptr, 10));
        const DWORD waitMs = split == std::string::npos
                                 ? 0
                                 : static_cast<DWORD>(std::strtoul(args.substr(split + 1).c_str(), nullptr, 10));
        HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
        if (process == nullptr) {
            return "err no such process";
        }
        const DWORD waited = WaitForSingleObject(process, waitMs);
        DWORD exitCode = 0;
        GetExitCodeProcess(process, &exitCode);
        CloseHandle(process);
        if (waited != WAIT_OBJECT_0) {
            return "err still running";
        }
        return "ok " + std::to_string(exitCode);
    }
    if (command == "windows") {
        WindowList list;
        EnumWindows(ListWindow, reinterpret_cast<LPARAM>(&list));
        return "ok " + list.json + "]";
    }
    if (command == "closewindow") {
        const auto window =
            reinterpret_cast<HWND>(static_cast<std::uintptr_t>(std::strtoull(args.c_str(), nullptr, 10)));
        return PostMessageW(window, WM_CLOSE, 0, 0) ? "ok" : "err post failed";
    }
    if (g_main == nullptr || !IsWindow(g_main)) {
        return "err no main window";
    }
    if (command == "state") {
        return "ok " + StateJson();
    }
    if (command == "rect") {
        RECT rect{};
        GetWindowRect(g_main, &rect);
        return "ok " + std::to_string(rect.left) + " " + std::to_string(rect.top) + " " + std::to_string(rect.right) +
               " " + std::to_string(rect.bottom);
    }
    if (command == "screenrect") {
        RECT rect{};
        if (!GetWindowRect(Control(std::atoi(args.c_str())), &rect)) {
            return "err no control " + args;
        }
        return "ok " + std::to_string(rect.left) + " " + std::to_string(rect.top) + " " + std::to_string(rect.right) +
               " " + std::to_string(rect.bottom);
    }
    if (command == "close") {
        return PostMessageW(g_main, WM_CLOSE, 0, 0) ? "ok" : "err post failed";
    }
    if (command == "endsession") {
        LRESULT agreed = 0;
        const WPARAM ending = args == "1" ? TRUE : FALSE;
        if (!Send(g_main, WM_QUERYENDSESSION, 0, 0, &agreed) || !Send(g_main, WM_ENDSESSION, ending, 0)) {
            return "err timed out";
        }
        return "ok " + std::to_string(static_cast<long long>(agreed));
    }
    int id = 0;
    std::string rest;
    if (!SplitIdAndText(args, id, rest)) {
        return "err bad arguments";
    }
    HWND control = Control(id);
    if (control == nullptr) {
        return "err no control " + std::to_string(id);
    }
    if (command == "settext") {
        const std::wstring text = FromUtf8(rest);
        return Send(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str())) ? "ok" : "err timed out";
    }
    if (command == "type") {
        return Type(control, FromUtf8(rest));
    }
    if (command == "click") {
        if (!Send(control, BM_CLICK, 0, 0)) {
            return "err click timed out";
        }
        // Read back at once: the progress timer may overwrite the status line soon after.
        const std::string status = ToUtf8(WindowText(Control(IDC_STATUS)));
        const std::string button = ToUtf8(WindowText(Control(IDC_START)));
        const std::string mode = ToUtf8(WindowText(Control(IDC_MODE)));
        return "ok {\"status\":" + JsonString(status) + ",\"button\":" + JsonString(button) +
               ",\"mode\":" + JsonString(mode) + "}";
    }
    return "err unknown command " + command;
}

}  // namespace

int main() {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stdin), _O_BINARY);
    char buffer[8192];
    while (std::fgets(buffer, sizeof buffer, stdin) != nullptr) {
        std::string line = buffer;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
            line.pop_back();
        }
        if (line == "quit") {
            Answer("ok");
            break;
        }
        Answer(Handle(line));
    }
    return 0;
}
