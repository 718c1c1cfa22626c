// Benchmarks: how long a worker's progress message takes to reach the dialog's status line, from the
// worker's WriteSynch to the text the dialog shows (the loader's 200 ms poll included), next to the
// bare pipe, whose reader takes each message as soon as it arrives. Runs in a scratch machine root.
#include "app/Maintenance.h"
#include "base/Cleanup.h"
#include "ipc/PipeClient.h"
#include "ipc/PipeServer.h"
#include "ui/Dialog.h"

#include "RatioReporter.h"

#include <algorithm>
#include <atomic>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

using namespace ZEPMaintenance;
using Clock = std::chrono::steady_clock;

std::wstring PipeName(const char* what) {
    return L"\\\\.\\pipe\\ZEPMaintenanceBench_" + std::to_wstring(getpid()) + L"_" +
           std::wstring(what, what + 1);
}

// Times one message per iteration with reached(text) polled until it holds; the mean is the benchmark's
// time, the slowest delivery a counter. Messages go at the worker's pace, one each kGuiMessagePauseMs,
// so that they meet the loader's poll at the phases a real update does.
template <class Reached> void TimeDeliveries(benchmark::State& state, PipeClient& worker, Reached reached) {
    double slowest = 0;
    int64_t number = 0;
    for (auto _ : state) {
        const std::wstring text = L"Kopírovanie " + std::to_wstring(++number);
        const Clock::time_point sent = Clock::now();
        worker.WriteSynch(PipeMessage{0, text});
        while (!reached(text)) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - sent).count();
        state.SetIterationTime(seconds);
        slowest = std::max(slowest, seconds);
        std::this_thread::sleep_until(sent + std::chrono::milliseconds(kGuiMessagePauseMs));
    }
    state.counters["slowest_ms"] = slowest * 1000;
}

// The bare pipe: the reader takes each message the moment it is there.
void BM_PipeDelivery(benchmark::State& state) {
    const std::wstring name = PipeName("p");
    PipeServer loader;
    PipeClient worker;
    loader.Create(name, ReadMode);
    worker.Connect(name, WriteMode);
    loader.Bind();
    PipeMessage message;
    TimeDeliveries(state, worker,
                   [&](const std::wstring& text) { return loader.Read(message) && message.msg == text; });
    worker.Close();
    loader.WaitForThreads();
}

// The loader's listener with its dialog: the text counts as delivered once the dialog shows it.
void BM_DialogDelivery(benchmark::State& state) {
    // The dialog writes its plain lines to standard output: sent away while it starts.
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(null, STDOUT_FILENO);
    close(null);
    std::atomic<bool> ready{false};
    Dialog dialog(ready);
    {
        const Cleanup restore([saved] {
            dup2(saved, STDOUT_FILENO);
            close(saved);
        });
        dialog.InitDialogThread();
    }
    if (!dialog.WaitUntilReady()) {
        state.SkipWithError("the dialog could not be shown");
        return;
    }
    Maintenance loader;
    loader.guiPipeName = PipeName("d");
    std::future<void> listening = std::async(std::launch::async, [&] { loader.ListenOnGuiPipe(dialog); });
    PipeClient worker;
    worker.Connect(loader.guiPipeName, WriteMode);
    TimeDeliveries(state, worker,
                   [&](const std::wstring& text) { return dialog.GetContent().status == text; });
    worker.WriteSynch(PipeMessage{static_cast<int32_t>(GuiMessageId::CloseDialog), L""});
    SleepMilliseconds(kGuiMessagePauseMs);
    worker.Close();
    listening.get();
    dialog.WaitForEnd();
}

BENCHMARK(BM_PipeDelivery)->UseManualTime()->Iterations(50)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DialogDelivery)->UseManualTime()->Iterations(100)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    // A machine root of the benchmark's own, for the pipe folder.
    char pattern[] = "/tmp/zep-gui-bench-XXXXXX";
    const char* root = mkdtemp(pattern);
    if (root == nullptr || setenv("ZEP_MACHINE_ROOT", root, 1) != 0) {
        std::perror("zep_gui_bench: machine root");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatio("message to the dialog's status line vs to a reader that takes it at once",
                        "BM_DialogDelivery", "BM_PipeDelivery");
    benchmark::Shutdown();
    std::filesystem::remove_all(root);
    return 0;
}
