#include "support/recording_window.h"

#if defined(_WIN32)
#include <windows.h>
#include <shlwapi.h>
#endif

#include <algorithm>
#include <condition_variable>
#include <cwchar>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

namespace pelbrook::testing {
namespace {

struct Window {
    WindowHandle parent = nullptr;
    int id = 0;
};

struct Recorder {
    std::mutex mutex;
    std::condition_variable posted;
    std::vector<std::unique_ptr<Window>> windows;
    WindowLog log;  // its pendingMessages is filled in from the queue when asked
    std::deque<PostedMessage> queue;
    std::uint64_t tick = 0;
    std::optional<std::wstring> profile;
    std::optional<std::wstring> knownDownloads;
    std::vector<std::wstring> existing;
    bool failPosts = false;
    bool failThreads = false;
    std::vector<std::thread> threads;
};

Recorder& R() {
    static Recorder recorder;
    return recorder;
}

template <typename Key, typename Value>
const Value& Lookup(const std::map<Key, Value>& map, const Key& key) {
    static const Value untouched{};
    auto found = map.find(key);
    return found == map.end() ? untouched : found->second;
}

}  // namespace

const ControlState& WindowLog::Control(WindowHandle control) const { return Lookup(controls, control); }

const ProgressBarState& WindowLog::Bar(WindowHandle bar) const { return Lookup(bars, bar); }

const TimerState& WindowLog::Timer(WindowHandle window, std::uintptr_t id) const {
    return Lookup(timers, {window, id});
}

void ResetRecordingWindow() {
    JoinJobThreads();
    Recorder& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.log = WindowLog{};
    // A status line's string stays with the job state that handed it over.
    r.queue.clear();
    r.tick = 0;
    r.profile.reset();
    r.knownDownloads.reset();
    r.existing.clear();
    r.failPosts = false;
    r.failThreads = false;
}

WindowHandle MakeWindow(WindowHandle parent, int id) {
    Recorder& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.windows.push_back(std::make_unique<Window>(Window{parent, id}));
    return r.windows.back().get();
}

WindowLog RecordedWindow() {
    Recorder& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    WindowLog log = r.log;
    log.pendingMessages = r.queue.size();
    return log;
}

void TypeText(WindowHandle control, const std::wstring& text) {
    Recorder& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.log.controls[control].text = text;
}

void SetTickCount(std::uint64_t milliseconds) {
    Recorder& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.tick = milliseconds;
}

void AdvanceTickCount(std::uint64_t milliseconds) {
    Recorder& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.tick += milliseconds;
}

void SetProfileFolder(std::optional<std::wstring> folder) {
    Recorder& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.profile = std::move(folder);
}

void SetDownloadsKnownFolder(std::optional<std::wstring> folder) {
    Recorder& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.knownDownloads = std::move(folder);
}

void SetExistingPaths(std::vector<std::wstring> paths) {
    Recorder& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.existing = std::move(paths);
}

void FailPosts(bool fail) {
    Recorder& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.failPosts = fail;
}

void FailThreadStarts(bool fail) {
    Recorder& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.failThreads = fail;
}

void JoinJobThreads() {
    Recorder& r = R();
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        threads.swap(r.threads);
    }
    for (std::thread& thread : threads) thread.join();
}

bool PumpMessagesUntil(const std::function<void(const PostedMessage&)>& dispatch, const std::function<bool()>& done,
                       std::chrono::milliseconds limit) {
    Recorder& r = R();
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        PostedMessage message;
        {
            std::unique_lock<std::mutex> lock(r.mutex);
            if (!r.posted.wait_until(lock, deadline, [&] { return !r.queue.empty(); })) return done();
            message = r.queue.front();
            r.queue.pop_front();
        }
        dispatch(message);
    }
    return true;
}

std::vector<PostedMessage> TakeMessages() {
    Recorder& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    std::vector<PostedMessage> taken(r.queue.begin(), r.queue.end());
    r.queue.clear();
    return taken;
}

}  // namespace pelbrook::testing

namespace pelbrook::platform {

using testing::R;

void SetControlText(WindowHandle control, const wchar_t* text) {
    auto& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto& state = r.log.controls[control];
    state.text = text != nullptr ? std::wstring(text) : std::wstring();
    state.textHistory.push_back(state.text);
}

int ControlTextLength(WindowHandle control) {
    auto& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    return static_cast<int>(r.log.Control(control).text.size());
}

int GetControlText(WindowHandle control, wchar_t* buffer, int capacity) {
    auto& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (capacity <= 0) return 0;
    const std::wstring& text = r.log.Control(control).text;
    const std::size_t copied = std::min(text.size(), static_cast<std::size_t>(capacity - 1));
    std::wmemcpy(buffer, text.data(), copied);
    buffer[copied] = L'\0';
    return static_cast<int>(copied);
}

void EnableControl(WindowHandle control, bool enable) {
    auto& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto& state = r.log.controls[control];
    state.enabled = enable;
    state.enableHistory.push_back(enable);
    r.log.enableOrder.push_back(control);
}

WindowHandle FindChildControl(WindowHandle parent, int id) {
    auto& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    for (const auto& window : r.windows) {
        if (window->parent == parent && window->id == id && parent != nullptr) return window.get();
    }
    return nullptr;
}

void SetProgressRange(WindowHandle bar, std::uint16_t minimum, std::uint16_t maximum) {
    auto& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto& state = r.log.bars[bar];
    state.rangeSet = true;
    state.minimum = minimum;
    state.maximum = maximum;
}

void SetProgressPosition(WindowHandle bar, std::uint32_t position) {
    auto& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto& state = r.log.bars[bar];
    state.position = position;
    state.positions.push_back(position);
}

void StartTimer(WindowHandle window, std::uintptr_t id, std::uint32_t periodMs) {
    auto& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto& timer = r.log.timers[{window, id}];
    timer.active = true;
    timer.periodMs = periodMs;
    ++timer.starts;
}

void StopTimer(WindowHandle window, std::uintptr_t id) {
    auto& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto& timer = r.log.timers[{window, id}];
    timer.active = false;
    ++timer.stops;
}

bool PostWindowMessage(WindowHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
    auto& r = R();
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        if (r.failPosts || window == nullptr) return false;
        r.queue.push_back(testing::PostedMessage{window, message, wParam, lParam});
    }
    r.posted.notify_all();
    return true;
}

std::uint64_t TickCount() {
    auto& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.tick;
}

std::uint32_t DoubleClickTimeMs() { return testing::RecordedDoubleClickTimeMs; }

std::uint32_t CurrentProcessId() { return testing::RecordedProcessId; }

void ShellExecuteOpen(const wchar_t* verb, const wchar_t* file, const wchar_t* parameters, int showCommand) {
    auto& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.log.shellCalls.push_back(
        testing::ShellCall{verb ? verb : L"", file ? file : L"", parameters ? parameters : L"", showCommand});
}

namespace {

bool CopyFolder(const std::optional<std::wstring>& folder, wchar_t* buffer) {
    if (!folder) return false;
    const std::size_t copied = std::min(folder->size(), static_cast<std::size_t>(MaxPathChars - 1));
    std::wmemcpy(buffer, folder->data(), copied);
    buffer[copied] = L'\0';
    return true;
}

}  // namespace

bool GetProfileFolder(wchar_t* buffer) {
    auto& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    return CopyFolder(r.profile, buffer);
}

bool GetDownloadsKnownFolder(wchar_t* buffer) {
    auto& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    return CopyFolder(r.knownDownloads, buffer);
}

bool GetWindowsFolder(wchar_t* buffer) { return CopyFolder(std::wstring(testing::RecordedWindowsFolder), buffer); }

bool PathExists(const wchar_t* path) {
    auto& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.log.existenceQueries.emplace_back(path);
    return std::find(r.existing.begin(), r.existing.end(), std::wstring(path)) != r.existing.end();
}

// Under Wine the real PathFindFileNameW, so that the naming is checked against
// Windows' own rule; natively that rule as documented: the text after the last
// separator ('\\', '/' or ':') that is followed by something other than a
// separator, or the whole text when there is none.
const wchar_t* FindFileName(const wchar_t* path) {
#if defined(_WIN32)
    return PathFindFileNameW(path);
#else
    if (path == nullptr) return nullptr;
    const wchar_t* name = path;
    for (const wchar_t* p = path; *p != L'\0'; ++p) {
        const bool separator = *p == L'\\' || *p == L'/' || *p == L':';
        if (separator && p[1] != L'\0' && p[1] != L'\\' && p[1] != L'/') name = p + 1;
    }
    return name;
#endif
}

bool StartDetachedThread(std::function<void()> body) {
    auto& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.failThreads) return false;
    ++r.log.threadsStarted;
    r.threads.emplace_back(std::move(body));
    return true;
}

}  // namespace pelbrook::platform
