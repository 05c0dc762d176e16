// The process entry, the main window with its controls, and the message loop.
#include <windows.h>
#include <commctrl.h>
#include <ole2.h>
#include <shlobj.h>

#include <array>

#include "engine/download_job.h"
#include "window/app_state.h"
#include "window/download_flow.h"
#include "window/output_path.h"
#include "window/progress_display.h"

namespace pelbrook {

static_assert(WM_JOB_FINISHED == WM_USER + 1 && WM_JOB_STATUS == WM_USER + 2);

namespace {

constexpr wchar_t WindowClassName[] = L"PelbrookWindow";
constexpr DWORD MainWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr int MainWindowWidth = 620;
constexpr int MainWindowHeight = 330;
constexpr int ApplicationIconId = 1;

struct ControlLayout {
    const wchar_t* className;
    const wchar_t* text;
    DWORD extendedStyle;
    DWORD style;
    int x, y, width, height;
    int id;
    HWND* stored;
};

HWND Make(const ControlLayout& layout) {
    HWND control =
        CreateWindowExW(layout.extendedStyle, layout.className, layout.text, WS_CHILD | WS_VISIBLE | layout.style,
                        layout.x, layout.y, layout.width, layout.height, static_cast<HWND>(App.mainWindow),
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(layout.id)), GetModuleHandleW(nullptr), nullptr);
    if (layout.stored != nullptr) *layout.stored = control;
    return control;
}

BOOL CALLBACK SetChildFont(HWND child, LPARAM font) {
    SendMessageW(child, WM_SETFONT, static_cast<WPARAM>(font), 1);
    return TRUE;
}

void CreateControls(HWND window) {
    App.mainWindow = window;
    const std::wstring defaultFolder = DefaultDownloadFolder();
    const std::wstring defaultConnections = std::to_wstring(DefaultConnections);
    HWND urlEdit = nullptr, folderEdit = nullptr, connectionsEdit = nullptr, startButton = nullptr;
    HWND modeLabel = nullptr, progressBar = nullptr, statusLabel = nullptr;

    const ControlLayout controls[] = {
        {L"STATIC", L"Download URL:", 0, 0, 16, 16, 120, 20, 0, nullptr},
        {L"EDIT", L"", WS_EX_CLIENTEDGE, ES_AUTOHSCROLL, 16, 40, 560, 24, IDC_URL_EDIT, &urlEdit},
        {L"STATIC", L"Save to folder:", 0, 0, 16, 78, 120, 20, 0, nullptr},
        {L"EDIT", defaultFolder.c_str(), WS_EX_CLIENTEDGE, ES_AUTOHSCROLL, 16, 102, 470, 24, IDC_FOLDER_EDIT,
         &folderEdit},
        {L"BUTTON", L"Browse...", 0, 0, 496, 100, 80, 26, IDC_BROWSE, nullptr},
        {L"STATIC", L"Connections:", 0, 0, 16, 140, 100, 20, 0, nullptr},
        {L"EDIT", defaultConnections.c_str(), WS_EX_CLIENTEDGE, ES_NUMBER, 120, 136, 60, 24, IDC_CONNECTIONS_EDIT,
         &connectionsEdit},
        {L"BUTTON", TextDownload, 0, 0, 200, 134, 120, 28, IDC_START, &startButton},
        {L"STATIC", TextModeAtStartUp, 0, 0, 16, 168, 560, 32, IDC_MODE, &modeLabel},
        {PROGRESS_CLASSW, nullptr, 0, 0, 16, 206, 560, 22, IDC_PROGRESS, &progressBar},
        {L"STATIC", TextReady, 0, 0, 16, 236, 560, 40, IDC_STATUS, &statusLabel},
    };
    for (const ControlLayout& layout : controls) Make(layout);

    App.urlEdit = urlEdit;
    App.folderEdit = folderEdit;
    App.connectionsEdit = connectionsEdit;
    App.startButton = startButton;
    App.modeLabel = modeLabel;
    App.progressBar = progressBar;
    App.statusLabel = statusLabel;

    HGDIOBJ font = GetStockObject(DEFAULT_GUI_FONT);
    EnumChildWindows(window, SetChildFont, reinterpret_cast<LPARAM>(font));
}

void PickFolder() {
    BROWSEINFOW info{};
    info.hwndOwner = static_cast<HWND>(App.mainWindow);
    info.lpszTitle = L"Choose download folder";
    info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    PIDLIST_ABSOLUTE item = SHBrowseForFolderW(&info);
    if (item == nullptr) return;
    std::array<wchar_t, MAX_PATH> path{};
    if (SHGetPathFromIDListW(item, path.data())) SetWindowTextW(static_cast<HWND>(App.folderEdit), path.data());
    CoTaskMemFree(item);
}

// OLE on the thread that builds this scope, ended once on every way out of it.
class OleScope {
public:
    OleScope() : ready_(SUCCEEDED(OleInitialize(nullptr))) {}
    ~OleScope() {
        if (ready_) OleUninitialize();
    }
    OleScope(const OleScope&) = delete;
    OleScope& operator=(const OleScope&) = delete;

private:
    bool ready_;
};

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            CreateControls(window);
            return 0;
        case WM_DESTROY:
            OnMainWindowDestroyed();
            PostQuitMessage(0);
            return 0;
        case WM_ENDSESSION:
            OnSessionEnd(wParam != FALSE);
            return 0;
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
                case IDC_BROWSE:
                    PickFolder();
                    return 0;
                case IDC_START:
                    OnStartButton();
                    return 0;
                default:
                    return DefWindowProcW(window, message, wParam, lParam);
            }
        case WM_TIMER:
            if (wParam == IDT_PROGRESS) OnProgressTimer();
            return 0;
        case WM_JOB_FINISHED:
            OnJobFinished(static_cast<std::uintptr_t>(wParam));
            return 0;
        case WM_JOB_STATUS:
            OnJobStatus(static_cast<std::uintptr_t>(wParam), static_cast<std::intptr_t>(lParam));
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace
}  // namespace pelbrook

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    using namespace pelbrook;

    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_PROGRESS_CLASS;
    InitCommonControlsEx(&controls);
    // The folder picker's new-style dialog needs OLE on this thread.
    const OleScope ole;

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = MainWndProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(ApplicationIconId));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    windowClass.lpszClassName = WindowClassName;
    windowClass.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(ApplicationIconId));
    RegisterClassExW(&windowClass);

    HWND window = CreateWindowExW(0, WindowClassName, L"Pelbrook", MainWindowStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                                  MainWindowWidth, MainWindowHeight, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) return 1;
    ShowWindow(window, showCommand);
    UpdateWindow(window);

    MSG msg{};
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }

    // A job still running is not waited for: it may be blocked in a read for
    // as long as the server keeps silent. Its temporary file is already
    // deleted, and returning ends its threads with the process.
    return static_cast<int>(msg.wParam);
}
