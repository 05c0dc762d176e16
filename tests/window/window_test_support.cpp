#include "window/window_test_support.h"

#include "engine/download_job.h"
#include "window/download_flow.h"

namespace pelbrook::testing {

void InstallFakeWindow() {
    ResetRecordingWindow();
    static WindowHandle mainWindow = MakeWindow();
    static WindowHandle browseButton = MakeWindow(mainWindow, IDC_BROWSE);
    static WindowHandle urlEdit = MakeWindow(mainWindow, IDC_URL_EDIT);
    static WindowHandle folderEdit = MakeWindow(mainWindow, IDC_FOLDER_EDIT);
    static WindowHandle connectionsEdit = MakeWindow(mainWindow, IDC_CONNECTIONS_EDIT);
    static WindowHandle startButton = MakeWindow(mainWindow, IDC_START);
    static WindowHandle modeLabel = MakeWindow(mainWindow, IDC_MODE);
    static WindowHandle progressBar = MakeWindow(mainWindow, IDC_PROGRESS);
    static WindowHandle statusLabel = MakeWindow(mainWindow, IDC_STATUS);

    App.mainWindow = mainWindow;
    App.urlEdit = urlEdit;
    App.folderEdit = folderEdit;
    App.connectionsEdit = connectionsEdit;
    App.startButton = startButton;
    App.modeLabel = modeLabel;
    App.progressBar = progressBar;
    App.statusLabel = statusLabel;

    (void)browseButton;
    App.running = false;
    App.job = {};

    TypeText(folderEdit, L"C:\\Users\\ada\\Downloads");
    TypeText(connectionsEdit, L"16");
    TypeText(startButton, TextDownload);
    TypeText(modeLabel, TextModeAtStartUp);
    TypeText(statusLabel, TextReady);
}

void DispatchToWindow(const PostedMessage& message) {
    if (message.window != App.mainWindow) return;
    if (message.message == WM_JOB_FINISHED) OnJobFinished(message.wParam);
    if (message.message == WM_JOB_STATUS) OnJobStatus(message.wParam, message.lParam);
}

bool PumpUntilJobEnds(std::chrono::milliseconds limit) {
    return PumpMessagesUntil(
        DispatchToWindow, [] { return !App.running; }, limit);
}

}  // namespace pelbrook::testing
