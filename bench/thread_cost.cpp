// What the platform charges for threads that do nothing, started the way the
// engine starts its workers (std::thread), so the benchmark can set it apart
// from the engine's own costs:
// - time: starts N empty threads and joins them, five times, and prints the
//   middle time as "startJoinSeconds=S";
// - memory: then starts N threads that stand idle all at once for a moment
//   and joins them; run with N = 0 and N = 32, the difference in peak
//   resident memory is the cost of 32 idle threads.
//
//   thread_cost N

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 2) {
        return 2;
    }
    const int count = std::atoi(argv[1]);
    if (count < 0 || count > 256) {
        return 2;
    }
    std::vector<double> times;
    for (int round = 0; round < 5; ++round) {
        const auto begin = std::chrono::steady_clock::now();
        std::vector<std::thread> empty;
        empty.reserve(static_cast<std::size_t>(count));
        for (int i = 0; i < count; ++i) {
            empty.emplace_back([] {});
        }
        for (std::thread& thread : empty) {
            thread.join();
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - begin;
        times.push_back(took.count());
    }
    std::sort(times.begin(), times.end());
    std::printf("startJoinSeconds=%.6f\n", times[times.size() / 2]);
    std::fflush(stdout);

    std::atomic<int> started{0};
    std::atomic<bool> release{false};
    std::vector<std::thread> threads;
    threads.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        threads.emplace_back([&started, &release] {
            started.fetch_add(1);
            while (!release.load()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
    }
    // All alive together, so the peak holds every one of them; bounded at 10 s.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (started.load() < count && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    release.store(true);
    for (std::thread& thread : threads) {
        thread.join();
    }
    return started.load() == count ? 0 : 1;
}
