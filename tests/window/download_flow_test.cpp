// The start and cancel flow driven through recorded controls, with the real
// engine behind it talking to the scripted HTTP stand-in and real files.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/download_job.h"
#include "engine/temporary_file.h"
#include "support/scripted_http.h"
#include "support/test_bytes.h"
#include "support/test_files.h"
#include "window/download_flow.h"
#include "window/output_path.h"
#include "window/progress_display.h"
#include "window/window_test_support.h"

namespace pelbrook::testing {
namespace {

using namespace std::chrono_literals;

constexpr wchar_t FourWorkersLine[] = L"Mode: Accelerated - 4 workers, 3 segments, keep-alive reuse (HTTP Range).";

// Waits, bounded, for a condition another thread makes true.
bool Eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = 30s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

bool RangeOf(const std::wstring& headers, std::uint64_t& first, std::uint64_t& last) {
    const std::wstring key = L"Range: bytes=";
    const std::size_t at = headers.find(key);
    if (at == std::wstring::npos) return false;
    const std::size_t dash = headers.find(L'-', at);
    first = std::stoull(headers.substr(at + key.size(), dash - at - key.size()));
    last = std::stoull(headers.substr(dash + 1));
    return true;
}

// A server for one file that serves byte ranges. `beforeRead` runs before
// every body read of every GET.
Responder RangedServer(std::shared_ptr<const std::string> file, std::function<void(std::size_t)> beforeRead = {}) {
    return [file, beforeRead](const RecordedRequest& request) {
        const std::wstring size = std::to_wstring(file->size());
        if (request.verb == L"HEAD") {
            return MakeResponse(200, {L"Content-Length: " + size, L"Accept-Ranges: bytes"});
        }
        std::uint64_t first = 0, last = 0;
        ScriptedResponse response;
        if (RangeOf(request.headers, first, last)) {
            last = std::min<std::uint64_t>(last, file->size() - 1);
            const std::string part = file->substr(first, last - first + 1);
            std::vector<std::string> pieces;
            for (std::size_t at = 0; at < part.size(); at += 65536) pieces.push_back(part.substr(at, 65536));
            response = MakeResponse(
                206,
                {L"Content-Length: " + std::to_wstring(part.size()),
                 L"Content-Range: bytes " + std::to_wstring(first) + L"-" + std::to_wstring(last) + L"/" + size,
                 L"Accept-Ranges: bytes"},
                pieces);
        } else {
            response = MakeResponse(200, {L"Content-Length: " + size}, {*file});
        }
        response.beforeRead = beforeRead;
        return response;
    };
}

class DownloadFlow : public ::testing::Test {
protected:
    void SetUp() override {
        directory = NewTestDirectory();
        ASSERT_FALSE(directory.empty());
#ifdef _WIN32
        folder = directory;
#else
        // Natively the backslash the window puts after the folder is part of the
        // file's name, so the file lands inside the test directory as "f\<name>".
        folder = directory + L"/f";
#endif
        FreshWindow();
        inputs = {App.urlEdit, App.folderEdit, App.connectionsEdit, Browse()};
    }
    // A window as the user finds it, with the test's folder typed in, and no file faults.
    void FreshWindow() const {
        InstallFakeWindow();
        SetFileFaults();
        TypeText(App.folderEdit, folder);
        SetTickCount(50000);
    }
    void TearDown() override {
        if (App.job.shared) App.job.shared->cancel.store(true);  // a test that failed half-way leaves no job behind
        release.store(true);
        JoinJobThreads();
        TakeMessagesAndFree();
        RemoveTestDirectory(directory);
    }
    static void TakeMessagesAndFree() {
        for (const PostedMessage& m : TakeMessages()) {
            if (m.message == WM_JOB_STATUS) OnJobStatus(m.wParam, m.lParam);
        }
    }
    void Press(const std::wstring& url, const std::wstring& connections) {
        TypeText(App.urlEdit, url);
        TypeText(App.connectionsEdit, connections);
        StartDownload();
        if (App.job.shared) jobCancel.store(&App.job.shared->cancel);
    }
    // The cancel request of the job started last, as its threads see it.
    bool CancelRaised() const {
        const CancelFlag* cancel = jobCancel.load();
        return cancel != nullptr && cancel->load();
    }
    // Holds the job's thread until the test lets it go: a read on a server gone silent.
    std::function<void(std::size_t)> Blocked() {
        return [this](std::size_t) {
            blocked.store(true);
            Eventually([this] { return release.load(); });
        };
    }
    static WindowHandle Browse() { return platform::FindChildControl(App.mainWindow, IDC_BROWSE); }
    std::wstring Saved(const std::wstring& name) const { return folder + L"\\" + name; }

    std::vector<WindowHandle> inputs;  // what a running job disables
    std::atomic<const CancelFlag*> jobCancel{nullptr};
    std::atomic<bool> blocked{false};
    std::atomic<bool> release{false};
    std::wstring directory;
    std::wstring folder;
};

TEST(ParseConnectionCount, ReadsLikeTheRuntimeTextToInt) {
    const struct {
        const wchar_t* text;
        std::optional<std::int32_t> count;
    } cases[] = {
        {L"", 16},
        {L"1", 1},
        {L"32", 32},
        {L"0", 0},
        {L"33", 33},
        {L"5x", 5},
        {L"x5", 0},
        {L" \t7", 7},
        {L"+3", 3},
        {L"-4", -4},
        {L"0005", 5},
        {L"   ", 0},
        {L"- 5", 0},
        {L"2147483647", 2147483647},
        {L"-2147483648", -2147483647 - 1},
        {L"2147483648", std::nullopt},
        {L"4294967297", std::nullopt},
        {L"99999999999999999999999", std::nullopt},
        {L"\u0661\u0662", 12},
        {L"\u00A05", 5},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseConnectionCount(c.text), c.count) << c.text;
}

#ifdef _WIN32
// Wherever the count fits an int, it is what the runtime's own _wtoi reads.
TEST(ParseConnectionCount, AgreesWithTheRuntime) {
    const wchar_t* texts[] = {L"16",
                              L" 7",
                              L"\u00A05",
                              L"\u3000"
                              L"9",
                              L"\u0661\u0662",
                              L"\uFF13",
                              L"+3x",
                              L"-4",
                              L"x5",
                              L"",
                              L"- 5",
                              L"2147483647",
                              L"\t\n12"};
    for (const wchar_t* text : texts) {
        const std::optional<std::int32_t> count = ParseConnectionCount(text);
        if (*text == L'\0') continue;  // an empty field means the default instead
        ASSERT_TRUE(count.has_value()) << text;
        EXPECT_EQ(*count, _wtoi(text)) << text;
    }
}
#endif

TEST_F(DownloadFlow, RefusedStartsChangeOnlyTheStatusLine) {
    const struct {
        const wchar_t* url;
        const wchar_t* connections;
        const wchar_t* status;
    } cases[] = {
        {L"", L"0", TextPasteUrlFirst},
        {L"", L"16", TextPasteUrlFirst},
        {L"http://example.com/a.bin", L"0", TextConnectionsOutOfRange},
        {L"http://example.com/a.bin", L"33", TextConnectionsOutOfRange},
        {L"http://example.com/a.bin", L"x5", TextConnectionsOutOfRange},
        {L"http://example.com/a.bin", L"-1", TextConnectionsOutOfRange},
        {L"http://example.com/a.bin", L"   ", TextConnectionsOutOfRange},
        {L"http://example.com/a.bin", L"4294967297", TextConnectionsOutOfRange},
        {L"http://example.com/a.bin", L"99999999999999999999", TextConnectionsOutOfRange},
    };
    for (const auto& c : cases) {
        InstallFakeWindow();
        Press(c.url, c.connections);
        const WindowLog w = RecordedWindow();
        EXPECT_EQ(w.Control(App.statusLabel).textHistory, std::vector<std::wstring>{c.status})
            << c.url << L" " << c.connections;
        EXPECT_TRUE(w.Control(App.modeLabel).textHistory.empty());
        EXPECT_TRUE(w.Control(App.startButton).textHistory.empty());
        EXPECT_FALSE(w.Bar(App.progressBar).rangeSet);
        EXPECT_TRUE(w.enableOrder.empty());
        EXPECT_EQ(w.Timer(App.mainWindow, IDT_PROGRESS).starts, 0);
        EXPECT_EQ(w.threadsStarted, 0);
        EXPECT_FALSE(App.running);
        EXPECT_EQ(App.job.number, 0u);
        EXPECT_FALSE(App.job.shared);
    }
}

TEST_F(DownloadFlow, AcceptedCountsReachTheEngine) {
    const auto file = std::make_shared<const std::string>(TestBytes(100000, 7));
    const struct {
        const wchar_t* connections;
        const wchar_t* modeLine;
    } cases[] = {
        {L"", L"Mode: Accelerated - 16 workers, 1 segments, keep-alive reuse (HTTP Range)."},
        {L"1", L"Mode: Single connection - Connections is set to 1, so acceleration is disabled."},
        {L"32", L"Mode: Accelerated - 32 workers, 1 segments, keep-alive reuse (HTTP Range)."},
        {L"5x", L"Mode: Accelerated - 5 workers, 1 segments, keep-alive reuse (HTTP Range)."},
        {L" +2", L"Mode: Accelerated - 2 workers, 1 segments, keep-alive reuse (HTTP Range)."},
    };
    for (const auto& c : cases) {
        ScriptHttp(RangedServer(file));
        Press(L"http://example.com/data/blob.bin", c.connections);
        ASSERT_TRUE(App.running) << c.connections;
        ASSERT_TRUE(PumpUntilJobEnds()) << c.connections;
        EXPECT_EQ(RecordedWindow().Control(App.modeLabel).text, c.modeLine) << c.connections;
        EXPECT_EQ(ReadFileBytes(Saved(L"blob.bin")), *file) << c.connections;
        JoinJobThreads();
    }
}

TEST_F(DownloadFlow, SuccessfulJobFromStartToFileManager) {
    const auto file = std::make_shared<const std::string>(TestBytes(5 * 1048576 + 17, 3));
    ScriptHttp(RangedServer(file));
    // As pasted from a page: blanks around it, a fragment that is never sent.
    Press(L"\u00A0 \thttp://example.com/files/setup.exe?token=1#top\r\n", L"4");
    const std::wstring path = Saved(L"setup.exe");

    EXPECT_TRUE(App.running);
    const WindowLog started = RecordedWindow();
    EXPECT_EQ(started.Control(App.startButton).text, TextCancel);
    EXPECT_EQ(started.Control(App.modeLabel).textHistory.front(), TextModeChecking);
    EXPECT_EQ(started.Control(App.statusLabel).textHistory, std::vector<std::wstring>{TextConnecting});
    const ProgressBarState& bar = started.Bar(App.progressBar);
    EXPECT_TRUE(bar.rangeSet);
    EXPECT_EQ(bar.minimum, 0);
    EXPECT_EQ(bar.maximum, 1000);
    EXPECT_EQ(bar.positions.front(), 0u);
    const TimerState& timer = started.Timer(App.mainWindow, IDT_PROGRESS);
    EXPECT_TRUE(timer.active);
    EXPECT_EQ(timer.periodMs, 200u);
    for (WindowHandle input : inputs) EXPECT_FALSE(started.Control(input).enabled);
    EXPECT_TRUE(started.Control(App.startButton).enabled);
    EXPECT_EQ(App.job.startTick, 50000u);

    AdvanceTickCount(65000);
    ASSERT_TRUE(PumpUntilJobEnds());

    const WindowLog ended = RecordedWindow();
    EXPECT_EQ(ended.Control(App.modeLabel).text, FourWorkersLine);
    EXPECT_EQ(ended.Control(App.statusLabel).text, MessageCompleted + std::wstring(TextSavedTo) + path + TextTime + L"1:05");
    EXPECT_EQ(ended.Control(App.startButton).text, TextDownload);
    EXPECT_EQ(ended.Bar(App.progressBar).position, 1000u);
    EXPECT_FALSE(ended.Timer(App.mainWindow, IDT_PROGRESS).active);
    EXPECT_FALSE(App.running);
    const std::vector<WindowHandle> order{App.urlEdit, App.folderEdit, App.connectionsEdit, Browse(),
                                          App.urlEdit, App.folderEdit, App.connectionsEdit, Browse()};
    EXPECT_EQ(ended.enableOrder, order);
    for (WindowHandle input : order) EXPECT_TRUE(ended.Control(input).enabled);

    const std::vector<ShellCall>& shell = ended.shellCalls;
    ASSERT_EQ(shell.size(), 1u);
    EXPECT_EQ(shell[0].verb, L"open");
    EXPECT_EQ(shell[0].file, RecordedWindowsFolder + std::wstring(L"\\explorer.exe"));
    EXPECT_EQ(shell[0].parameters, L"/select,\"" + path + L"\"");
    EXPECT_EQ(shell[0].showCommand, 1);
    OnJobFinished(App.job.number);  // delivered again: nothing is replayed
    EXPECT_EQ(RecordedWindow().shellCalls.size(), 1u);

    EXPECT_EQ(ReadFileBytes(path), *file);
    EXPECT_EQ(RecordedHttp().requests.at(0).path, L"/files/setup.exe?token=1");
    EXPECT_EQ(App.job.shared->bytesDone.load(), file->size());
    EXPECT_EQ(App.job.shared->bytesTotal.load(), file->size());
    EXPECT_FALSE(CancelRaised());
    JoinJobThreads();
    EXPECT_EQ(RecordedWindow().pendingMessages, 0u);
    // The job wrote a file of its own beside the output file, and moved it there.
    const FileLog files = RecordedFiles();
    ASSERT_FALSE(files.opens.empty());
    EXPECT_EQ(files.opens[0].path, path + L".4242-1.part");
    EXPECT_EQ(DirectoryNames(directory).size(), 1u) << "no temporary file left";
}

TEST_F(DownloadFlow, FailedJobShowsTheEngineMessageAndOpensNothing) {
    ScriptHttp([](const RecordedRequest&) { return MakeResponse(404, {L"Content-Length: 0"}); });
    Press(L"http://example.com/missing.zip", L"8");
    ASSERT_TRUE(PumpUntilJobEnds());
    const WindowLog w = RecordedWindow();
    EXPECT_EQ(w.Control(App.statusLabel).text,
              MessageNoFileSize + std::wstring(TextSavedTo) + Saved(L"missing.zip") + TextTime + L"0:00");
    // No mode was decided, so the mode line still shows the start's text.
    EXPECT_EQ(w.Control(App.modeLabel).text, TextModeChecking);
    EXPECT_EQ(w.Bar(App.progressBar).position, 0u);
    EXPECT_TRUE(w.shellCalls.empty());
    EXPECT_TRUE(w.Control(App.urlEdit).enabled);
    EXPECT_EQ(w.Control(App.startButton).text, TextDownload);
    EXPECT_FALSE(PathExists(Saved(L"missing.zip")));
    OnStartButton();  // the second click of a double-click, after a job that ended at once
    EXPECT_EQ(RecordedWindow().threadsStarted, 1);
}

TEST_F(DownloadFlow, BlankUrlPassesTheWindowAndTheEngineRefusesIt) {
    ScriptHttp([](const RecordedRequest&) { return MakeResponse(500, {}); });
    Press(L"   ", L"16");
    ASSERT_TRUE(App.running);
    ASSERT_TRUE(PumpUntilJobEnds());
    EXPECT_EQ(RecordedWindow().Control(App.statusLabel).text,
              MessageUrlEmpty + std::wstring(TextSavedTo) + Saved(L"download.bin") + TextTime + L"0:00");
    EXPECT_EQ(RecordedHttp().sessionsOpened, 0);
}

TEST_F(DownloadFlow, CancelStopsTheJobAndRemovesTheUnfinishedFile) {
    const auto file = std::make_shared<const std::string>(TestBytes(6 * 1048576, 5));
    std::atomic<bool> reading{false};
    ScriptHttp(RangedServer(file, [this, &reading](std::size_t piece) {
        if (piece == 0) return;
        reading.store(true);
        Eventually([this] { return CancelRaised(); });
    }));
    Press(L"http://example.com/big.iso", L"4");
    ASSERT_TRUE(Eventually([&] { return reading.load(); }));
    ASSERT_TRUE(PumpMessagesUntil(
        DispatchToWindow, [] { return RecordedWindow().Control(App.modeLabel).text != TextModeChecking; }, 30s));

    // The second click of a double-click on Download arrives as another press.
    SetTickCount(App.job.startTick + RecordedDoubleClickTimeMs);
    OnStartButton();
    EXPECT_FALSE(CancelRaised());
    EXPECT_EQ(RecordedWindow().Control(App.statusLabel).text, TextConnecting);
    AdvanceTickCount(1);
    OnStartButton();
    EXPECT_EQ(RecordedWindow().Control(App.statusLabel).text, TextCanceling);
    OnStartButton();  // a second press repeats the same two steps
    const WindowLog canceling = RecordedWindow();
    EXPECT_EQ(canceling.Control(App.statusLabel).text, TextCanceling);
    EXPECT_TRUE(CancelRaised());
    EXPECT_EQ(canceling.Control(App.startButton).text, TextCancel);
    EXPECT_FALSE(canceling.Control(App.urlEdit).enabled);
    EXPECT_TRUE(canceling.Timer(App.mainWindow, IDT_PROGRESS).active);

    AdvanceTickCount(400);
    UpdateProgressDisplay();  // the next tick writes over "Canceling..."
    EXPECT_EQ(RecordedWindow().Control(App.statusLabel).text.rfind(L"Downloading... ", 0), 0u);

    ASSERT_TRUE(PumpUntilJobEnds());
    const WindowLog ended = RecordedWindow();
    const std::wstring canceled = MessageCanceled + std::wstring(TextSavedTo) + Saved(L"big.iso") + TextTime;
    EXPECT_EQ(ended.Control(App.statusLabel).text.rfind(canceled, 0), 0u);
    EXPECT_EQ(ended.Control(App.modeLabel).text, FourWorkersLine);
    EXPECT_EQ(ended.Bar(App.progressBar).position, 0u);
    EXPECT_TRUE(ended.shellCalls.empty());
    EXPECT_TRUE(ended.Control(App.urlEdit).enabled);
    EXPECT_TRUE(CancelRaised());  // stays as the job left it
    JoinJobThreads();
    EXPECT_FALSE(PathExists(Saved(L"big.iso")));
}

TEST_F(DownloadFlow, SecondJobAfterACanceledOneStartsClean) {
    const auto file = std::make_shared<const std::string>(TestBytes(3 * 1048576, 9));
    ScriptHttp(RangedServer(file, [this](std::size_t piece) {
        if (piece > 0) Eventually([this] { return CancelRaised(); });
    }));
    Press(L"http://example.com/first.bin", L"2");
    ASSERT_TRUE(Eventually([] { return App.job.shared->bytesDone.load() > 0; }));
    RequestCancel();
    ASSERT_TRUE(PumpUntilJobEnds());
    JoinJobThreads();
    ASSERT_TRUE(CancelRaised());

    ScriptHttp(RangedServer(file, Blocked()));
    Press(L"http://example.com/second.bin", L"2");
    ASSERT_TRUE(Eventually([&] { return blocked.load(); }));
    EXPECT_FALSE(CancelRaised());
    EXPECT_EQ(App.job.shared->bytesDone.load(), 0u);
    EXPECT_EQ(App.job.shared->bytesTotal.load(), 0u);
    EXPECT_EQ(RecordedWindow().Bar(App.progressBar).position, 0u);
    EXPECT_TRUE(App.job.shared->outcome.summary.empty());
    EXPECT_FALSE(App.job.cancelAsked);
    EXPECT_EQ(App.job.lastSampleBytes, 0u);
    EXPECT_EQ(App.job.speedBytesPerSec, 0.0);
    release.store(true);

    ASSERT_TRUE(PumpUntilJobEnds());
    const WindowLog w = RecordedWindow();
    EXPECT_EQ(w.Control(App.statusLabel).text.rfind(MessageCompleted + std::wstring(TextSavedTo) + Saved(L"second.bin"), 0), 0u);
    EXPECT_EQ(ReadFileBytes(Saved(L"second.bin")), *file);
    EXPECT_EQ(w.shellCalls.size(), 1u);
}

// A job blocked in a call that only a silent server or a time-out ends cannot
// honour Cancel: the window lets it go, and the job, once its call returns,
// leaves no trace in the window, the folder or the next job.
TEST_F(DownloadFlow, CanceledJobThatDoesNotWindDownIsLetGo) {
    const auto file = std::make_shared<const std::string>(TestBytes(3 * 1048576 + 5, 12));
    const struct {
        const char* name;
        const wchar_t* connections;
        bool inProbe;
        const wchar_t* message;
        bool modeLineQueued = false;  // the job's mode line not yet taken when it is let go
    } cases[] = {
        {"body of an accelerated job", L"4", false, MessageCanceled},
        {"body of a single transfer", L"1", false, MessageFailed},
        {"the probe", L"8", true, MessageCanceled},
        {"body, its mode line still on the way", L"4", false, MessageCanceled, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FreshWindow();
        blocked.store(false);
        release.store(false);
        std::atomic<bool> canceled{false};
        // Until the Cancel, the probe or every body after its first piece stalls.
        ScriptHttp([this, &c, &canceled, serve = RangedServer(file)](const RecordedRequest& request) {
            const bool stall = !canceled.load();
            if (stall && c.inProbe) Blocked()(0);
            ScriptedResponse response = serve(request);
            if (stall && !c.inProbe && request.verb == L"GET") {
                response.beforeRead = [this](std::size_t piece) {
                    if (piece > 0) Blocked()(piece);
                };
            }
            return response;
        });
        Press(L"http://example.com/stalled.bin", c.connections);
        ASSERT_TRUE(Eventually([this] { return blocked.load(); }));
        if (!c.inProbe && !c.modeLineQueued) {
            ASSERT_TRUE(PumpMessagesUntil(DispatchToWindow, [] { return !App.job.modeLine.empty(); }, 30s));
        }
        const std::wstring temporary = TemporaryPathFor(App.job.request);
        SetTickCount(App.job.startTick + 5000);
        OnStartButton();
        canceled.store(true);
        AdvanceTickCount(CancelWaitMs - 1);
        OnProgressTimer();
        ASSERT_TRUE(App.running) << "the job has its chance to end by itself";
        AdvanceTickCount(1);
        OnProgressTimer();
        EXPECT_FALSE(App.running);
        const WindowLog ended = RecordedWindow();
        EXPECT_EQ(ended.Control(App.statusLabel).text,
                  c.message + std::wstring(TextSavedTo) + Saved(L"stalled.bin") + TextTime + L"0:06");
        EXPECT_EQ(ended.Control(App.startButton).text, TextDownload);
        for (WindowHandle input : inputs) EXPECT_TRUE(ended.Control(input).enabled);
        EXPECT_EQ(ended.Bar(App.progressBar).position, 0u);
        EXPECT_FALSE(ended.Timer(App.mainWindow, IDT_PROGRESS).active);
        if (c.inProbe || c.modeLineQueued) {
            EXPECT_EQ(ended.Control(App.modeLabel).text, TextModeChecking);
        }
        // Under Wine the name stays while the blocked job holds the file open.
        EXPECT_EQ(RecordedFiles().deletes, std::vector<std::wstring>{temporary}) << "the window deletes it at once";
        if (c.modeLineQueued) {
            // What the let-go job sends, now or when it ends, before the next job changes nothing.
            release.store(true);
            JoinJobThreads();
            ASSERT_TRUE(PumpMessagesUntil(DispatchToWindow, [] { return RecordedWindow().pendingMessages == 0; }, 30s));
            const WindowLog later = RecordedWindow();
            EXPECT_EQ(later.Control(App.modeLabel).textHistory, ended.Control(App.modeLabel).textHistory);
            EXPECT_EQ(later.Control(App.statusLabel).textHistory, ended.Control(App.statusLabel).textHistory);
            EXPECT_TRUE(later.shellCalls.empty());
        }

        // The same download again at once, while the first job is still blocked.
        OnStartButton();
        ASSERT_TRUE(App.running);
        release.store(true);
        ASSERT_TRUE(PumpUntilJobEnds());
        JoinJobThreads();
        ASSERT_TRUE(PumpMessagesUntil(DispatchToWindow, [] { return RecordedWindow().pendingMessages == 0; }, 30s));
        const WindowLog w = RecordedWindow();
        EXPECT_EQ(w.Control(App.statusLabel).text.rfind(MessageCompleted + std::wstring(TextSavedTo), 0), 0u);
        EXPECT_EQ(w.shellCalls.size(), 1u);
        EXPECT_EQ(ReadFileBytes(Saved(L"stalled.bin")), *file);
        EXPECT_EQ(App.job.shared->bytesDone.load(), file->size());
        EXPECT_EQ(RecordedFiles().moves.size(), 1u) << "the first job never replaces the file";
        EXPECT_EQ(DirectoryNames(directory).size(), 1u) << "no temporary file left";
    }
}

// Cancel pressed as the job ends: when the wait for it is over, the job has
// finished and only its WM_JOB_FINISHED is still on the way. Its own outcome
// is shown, not a canceled line over a file that is complete.
TEST_F(DownloadFlow, WaitAfterCancelEndsWithAJobThatFinished) {
    const auto file = std::make_shared<const std::string>(TestBytes(3000, 6));
    ScriptHttp(RangedServer(file));
    Press(L"http://example.com/done.bin", L"2");
    const std::shared_ptr<SharedJob> job = App.job.shared;
    ASSERT_TRUE(Eventually([&] { return job->finished.load(); }));
    SetTickCount(App.job.startTick + 5000);
    OnStartButton();
    AdvanceTickCount(CancelWaitMs);
    OnProgressTimer();
    EXPECT_FALSE(App.running);
    const WindowLog ended = RecordedWindow();
    EXPECT_EQ(ended.Control(App.statusLabel).text.rfind(MessageCompleted + std::wstring(TextSavedTo), 0), 0u);
    EXPECT_EQ(ended.shellCalls.size(), 1u);
    EXPECT_EQ(ReadFileBytes(Saved(L"done.bin")), *file);
    ASSERT_TRUE(PumpMessagesUntil(DispatchToWindow, [] { return RecordedWindow().pendingMessages == 0; }, 30s));
    EXPECT_EQ(RecordedWindow().shellCalls.size(), 1u) << "its WM_JOB_FINISHED changes nothing more";
}

TEST_F(DownloadFlow, ThreadThatCannotStartReturnsToIdle) {
    FailThreadStarts(true);
    Press(L"http://example.com/a.bin", L"16");
    EXPECT_FALSE(App.running);
    const WindowLog w = RecordedWindow();
    EXPECT_EQ(w.Control(App.statusLabel).text, TextNotStarted);
    EXPECT_EQ(w.Control(App.modeLabel).text, TextModeAtStartUp);
    EXPECT_EQ(w.Control(App.startButton).text, TextDownload);
    EXPECT_FALSE(w.Timer(App.mainWindow, IDT_PROGRESS).active);
    for (WindowHandle input : inputs) EXPECT_TRUE(w.Control(input).enabled);

    FailThreadStarts(false);
    const auto file = std::make_shared<const std::string>(TestBytes(1000, 2));
    ScriptHttp(RangedServer(file));
    StartDownload();
    ASSERT_TRUE(PumpUntilJobEnds());
    EXPECT_EQ(ReadFileBytes(Saved(L"a.bin")), *file);
}

TEST_F(DownloadFlow, StatusLineThatCannotBePostedIsReleased) {
    App.job.number = 1;
    App.job.shared = std::make_shared<SharedJob>();
    FailPosts(true);
    PostJobStatus(*App.job.shared, 1, L"Mode: lost");  // AddressSanitizer reports the string if it leaks
    EXPECT_EQ(RecordedWindow().pendingMessages, 0u);
    FailPosts(false);
    PostJobStatus(*App.job.shared, 1, L"Mode: kept");
    ASSERT_EQ(RecordedWindow().pendingMessages, 1u);
    TakeMessagesAndFree();
    EXPECT_EQ(RecordedWindow().Control(App.modeLabel).text, L"Mode: kept");
}

// Any program can post our two message numbers: the window acts only on what
// the running job handed over, and frees no string it did not get from it.
TEST_F(DownloadFlow, StatusAndFinishedHandlersOnTheirOwn) {
    App.job.number = 3;
    App.job.shared = std::make_shared<SharedJob>();
    std::wstring foreign = L"Mode: foreign";  // AddressSanitizer reports a free of it
    OnJobStatus(3, 0);
    OnJobStatus(3, reinterpret_cast<std::intptr_t>(&foreign));
    PostJobStatus(*App.job.shared, 3, L"Mode: late");
    const std::intptr_t ours = TakeMessages().at(0).lParam;
    OnJobStatus(2, ours);  // from an earlier job's number
    EXPECT_TRUE(RecordedWindow().Control(App.modeLabel).textHistory.empty());
    OnJobStatus(3, ours);  // shown whether or not a job runs
    OnJobStatus(3, ours);  // the same string again is no longer ours
    EXPECT_EQ(RecordedWindow().Control(App.modeLabel).textHistory, std::vector<std::wstring>{L"Mode: late"});

    App.running = true;
    App.job.shared->outcome = JobOutcome{std::wstring(MessageCompleted) + TextSavedTo, L"", true};
    OnJobFinished(3);  // the job has not said it is done
    App.job.shared->finished.store(true);
    OnJobFinished(2);
    EXPECT_TRUE(App.running);
    EXPECT_TRUE(RecordedWindow().Control(App.startButton).textHistory.empty());
    App.job.startTick = 1000;
    SetTickCount(1000 + 3909000);
    OnJobFinished(3);
    EXPECT_FALSE(App.running);
    const WindowLog w = RecordedWindow();
    EXPECT_EQ(w.Control(App.statusLabel).text, MessageCompleted + std::wstring(TextSavedTo) + TextTime + L"1:05:09");
    EXPECT_EQ(w.Control(App.startButton).text, TextDownload);
    EXPECT_EQ(w.Bar(App.progressBar).position, 1000u);
    EXPECT_TRUE(w.shellCalls.empty());  // no path, nothing to show
}

// Closing the window during an accelerated job, or the end of the session
// (after which Windows ends the process without destroying the window): the
// window abandons the job's temporary file itself, and a file that stood at
// the output path stays. A shutdown that was canceled changes nothing.
TEST_F(DownloadFlow, ClosingDuringAJobLeavesNoUnfinishedFile) {
    for (const bool destroyed : {true, false}) {
        SCOPED_TRACE(destroyed ? "WM_DESTROY" : "WM_ENDSESSION");
        FreshWindow();
        const auto file = std::make_shared<const std::string>(TestBytes(4 * 1048576, 11));
        std::atomic<bool> reading{false};
        ScriptHttp(RangedServer(file, [this, &reading](std::size_t piece) {
            if (piece == 0) return;
            reading.store(true);
            Eventually([this] { return CancelRaised(); });
        }));
        ASSERT_TRUE(WriteFileBytes(Saved(L"closing.bin"), "older file"));
        Press(L"http://example.com/closing.bin", L"3");
        ASSERT_TRUE(Eventually([&] { return reading.load(); }));
        ASSERT_TRUE(PathExists(TemporaryPathFor(App.job.request)));

        OnSessionEnd(false);
        EXPECT_FALSE(CancelRaised());
        EXPECT_TRUE(RecordedFiles().deletes.empty());
        if (destroyed) {
            OnMainWindowDestroyed();
        } else {
            OnSessionEnd(true);
        }
        FailPosts(true);  // the window is gone
        EXPECT_TRUE(CancelRaised());
        EXPECT_FALSE(RecordedWindow().Timer(App.mainWindow, IDT_PROGRESS).active);
        EXPECT_EQ(RecordedFiles().deletes, std::vector<std::wstring>{TemporaryPathFor(App.job.request)});
        JoinJobThreads();
        EXPECT_FALSE(PathExists(TemporaryPathFor(App.job.request)));
        EXPECT_EQ(ReadFileBytes(Saved(L"closing.bin")), "older file");
        TakeMessagesAndFree();
    }
}

// A job that the close could not stop, and that later gets its whole body,
// must not move anything to the output path.
TEST_F(DownloadFlow, ClosingLeavesTheOutputPathToAJobThatEndsLater) {
    const auto file = std::make_shared<const std::string>(TestBytes(2000, 4));
    ScriptHttp(RangedServer(file, Blocked()));
    Press(L"http://example.com/stuck.bin", L"1");
    ASSERT_TRUE(Eventually([&] { return blocked.load(); }));
    OnMainWindowDestroyed();
    FailPosts(true);
    release.store(true);
    JoinJobThreads();
    EXPECT_TRUE(RecordedFiles().moves.empty());
    EXPECT_FALSE(PathExists(Saved(L"stuck.bin")));
    EXPECT_FALSE(PathExists(TemporaryPathFor(App.job.request)));
}

}  // namespace
}  // namespace pelbrook::testing
