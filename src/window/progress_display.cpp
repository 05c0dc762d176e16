#include "window/progress_display.h"

#include <iomanip>
#include <limits>
#include <locale>
#include <sstream>

#include "window/app_state.h"

namespace pelbrook {
namespace {

constexpr double KiB = 1024.0;
constexpr double MiB = 1048576.0;
constexpr double GiB = 1073741824.0;
constexpr double ShortestSampleSeconds = 0.25;
constexpr double SlowestUsableSpeed = 1.0;
constexpr std::uint64_t AverageSpeedAfterMs = 2000;
constexpr wchar_t Separator[] = L"  |  ";

std::wstring OneDecimal(double value, const wchar_t* unit) {
    std::wostringstream out;
    out.imbue(std::locale::classic());
    out << std::fixed << std::setprecision(1) << value << unit;
    return out.str();
}

std::wstring TwoDigits(std::uint64_t value) {
    std::wstring text = std::to_wstring(value);
    return value < 10 ? L"0" + text : text;
}

std::uint32_t BarPosition(std::uint64_t done, std::uint64_t total) {
    // More than the total can be reported when a server sends more than was asked.
    if (done >= total) return ProgressBarFullScale;
    if (done <= std::numeric_limits<std::uint64_t>::max() / ProgressBarFullScale) {
        return static_cast<std::uint32_t>(done * ProgressBarFullScale / total);
    }
    return static_cast<std::uint32_t>(static_cast<double>(done) / static_cast<double>(total) * ProgressBarFullScale);
}

std::wstring TimeLeft(std::uint64_t done, std::uint64_t total, std::uint64_t elapsedMs) {
    double speed = App.job.speedBytesPerSec;
    if (speed <= SlowestUsableSpeed && elapsedMs >= AverageSpeedAfterMs && done != 0) {
        speed = static_cast<double>(done) * 1000.0 / static_cast<double>(elapsedMs);
    }
    if (speed <= SlowestUsableSpeed) return L"--:--";
    constexpr std::uint64_t longestSeconds = std::numeric_limits<std::uint64_t>::max() / 1000;
    double seconds = static_cast<double>(total - done) / speed;
    std::uint64_t whole =
        seconds >= static_cast<double>(longestSeconds) ? longestSeconds : static_cast<std::uint64_t>(seconds);
    return FormatDuration(whole * 1000);
}

}  // namespace

std::wstring FormatBytes(std::uint64_t count) {
    const double n = static_cast<double>(count);
    if (count >= 1073741824ull) return OneDecimal(n / GiB, L" GB");
    if (count >= 1048576ull) return OneDecimal(n / MiB, L" MB");
    if (count >= 1024ull) return OneDecimal(n / KiB, L" KB");
    return std::to_wstring(count) + L" B";
}

std::wstring FormatSpeed() {
    const double speed = App.job.speedBytesPerSec;
    if (!(speed > 0.0)) return L"0 B/s";
    if (speed >= MiB) return OneDecimal(speed / MiB, L" MB/s");
    if (speed >= KiB) return OneDecimal(speed / KiB, L" KB/s");
    return OneDecimal(speed, L" B/s");
}

std::wstring FormatDuration(std::uint64_t milliseconds) {
    const std::uint64_t total = milliseconds / 1000;
    const std::uint64_t hours = total / 3600;
    const std::uint64_t minutes = (total % 3600) / 60;
    const std::uint64_t seconds = total % 60;
    if (hours > 0) return std::to_wstring(hours) + L":" + TwoDigits(minutes) + L":" + TwoDigits(seconds);
    return std::to_wstring(minutes) + L":" + TwoDigits(seconds);
}

void UpdateProgressDisplay() {
    JobView& job = App.job;
    if (!job.shared) return;
    const std::uint64_t done = job.shared->bytesDone.load();
    const std::uint64_t total = job.shared->bytesTotal.load();
    const std::uint64_t now = platform::TickCount();

    const double sampleSeconds = static_cast<double>(now - job.lastSampleTick) / 1000.0;
    if (now >= job.lastSampleTick && sampleSeconds >= ShortestSampleSeconds) {
        // Reports from several workers can land out of order, so the count may step back.
        const std::uint64_t gained = done >= job.lastSampleBytes ? done - job.lastSampleBytes : 0;
        job.speedBytesPerSec = static_cast<double>(gained) / sampleSeconds;
        job.lastSampleBytes = done;
        job.lastSampleTick = now;
    }

    if (total != 0) platform::SetProgressPosition(App.progressBar, BarPosition(done, total));

    const std::uint64_t elapsed = now >= job.startTick ? now - job.startTick : 0;
    std::wstring line = L"Downloading... " + FormatBytes(done);
    if (total != 0) line += L" / " + FormatBytes(total);
    line += Separator + FormatSpeed();
    line += Separator + FormatDuration(elapsed);
    if (total != 0 && done < total) line += L"  |  Left: " + TimeLeft(done, total, elapsed);
    platform::SetControlText(App.statusLabel, line.c_str());
}

}  // namespace pelbrook
