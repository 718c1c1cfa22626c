// Benchmarks: root's write latency on the settings store (a small REG_SZ value set, a key created) in a
// store of a few hundred keys, idle and while another user holds every lock they can take on it.
#include "base/Utf16.h"
#include "base/WinError.h"
#include "system/WinRegistryKey.h"
#include "system/posix/PosixSupport.h"
#include "system/posix/RegistryStore.h"

#include "RatioReporter.h"

#include <benchmark/benchmark.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <sqlite3.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace ZEPMaintenance;
using posix::RegistryStore;
namespace fs = std::filesystem;

constexpr int kProducts = 300;
constexpr uid_t kNobody = 65534;

std::vector<uint8_t> Utf16(const std::wstring& text) {
    return Utf16LeFromWide(text, true);
}

struct Machine {
    fs::path root;
    std::shared_ptr<RegistryStore> store;
    int64_t bench = 0;
};

fs::path gMachineRoot;

// A store the size of a machine with many products installed: a key per product with its settings.
Machine& Store() {
    static Machine machine = [] {
        Machine made;
        made.root = fs::temp_directory_path() / ("zep-store-bench-" + std::to_string(getpid()));
        fs::create_directories(made.root / "var" / "lib");
        fs::permissions(made.root, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                       fs::perms::others_read | fs::perms::others_exec);
        setenv("ZEP_MACHINE_ROOT", made.root.c_str(), 1);
        gMachineRoot = made.root;
        uint32_t error = 0;
        made.store = RegistryStore::ForMachineRoot(error);
        bool created = false;
        if (!made.store ||
            made.store->CreateKey(1, L"software\\ZEP\\Bench", nullptr, made.bench, created) != 0) {
            std::fprintf(stderr, "cannot open the store (error %u)\n", error);
            std::exit(1);
        }
        const auto filled = [](uint32_t result) {
            if (result != WinError::kSuccess) {
                std::fprintf(stderr, "cannot fill the store (error %u)\n", result);
                std::exit(1);
            }
        };
        for (int product = 0; product < kProducts; ++product) {
            int64_t id = 0;
            filled(made.store->CreateKey(1, L"software\\ZEP\\Products\\Product" + std::to_wstring(product),
                                         nullptr, id, created));
            const std::vector<uint8_t> path =
                Utf16(L"/opt/zep/product" + std::to_wstring(product) + L"/ZEPMaintenance");
            filled(made.store->SetValue(id, L"path", platform::kRegSz, path.data(),
                                        static_cast<uint32_t>(path.size())));
            const std::vector<uint8_t> version = Utf16(L"2.0.1200." + std::to_wstring(product));
            filled(made.store->SetValue(id, L"version", platform::kRegSz, version.data(),
                                        static_cast<uint32_t>(version.size())));
        }
        return made;
    }();
    return machine;
}

// Another user who, whenever a new snapshot is published, opens it, takes a byte-range read lock over all
// of it and an flock, and holds a read transaction on it; they keep the last few open. Each snapshot
// they locked every way is reported with one byte.
class HostileReader {
public:
    HostileReader() {
        int report[2];
        if (pipe(report) != 0) {
            return;
        }
        report_.Reset(report[0]);
        posix::UniqueFd reporting(report[1]);
        pid_ = fork();
        if (pid_ == 0) {
            report_.Reset();
            if (setresgid(kNobody, kNobody, kNobody) != 0 || setresuid(kNobody, kNobody, kNobody) != 0) {
                _exit(100);
            }
            Chase(reporting.Get());
        }
        reporting.Reset();
        // Wait until the first snapshot is held.
        char byte = 0;
        if (read(report_.Get(), &byte, 1) == 1) {
            locked_ = 1;
        }
        fcntl(report_.Get(), F_SETFL, O_NONBLOCK);
    }
    ~HostileReader() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    HostileReader(const HostileReader&) = delete;
    HostileReader& operator=(const HostileReader&) = delete;

    bool Running() const { return locked_ > 0; }
    // Snapshots locked so far.
    int64_t Locked() {
        char bytes[256];
        ssize_t got = 0;
        while ((got = read(report_.Get(), bytes, sizeof bytes)) > 0) {
            locked_ += got;
        }
        return locked_;
    }

private:
    [[noreturn]] static void Chase(int report) {
        const std::string path = RegistryStore::DatabasePath();
        struct Held {
            posix::UniqueFd fd;
            posix::Database db;
        };
        std::vector<Held> held;
        const int folder = open(fs::path(path).parent_path().c_str(), O_RDONLY | O_DIRECTORY);
        flock(folder, LOCK_SH);
        ino_t last = 0;
        while (true) {
            struct stat info {};
            if (stat(path.c_str(), &info) == 0 && info.st_ino != last) {
                last = info.st_ino;
                Held now{posix::UniqueFd(open(path.c_str(), O_RDONLY)), posix::Database()};
                struct flock range {};
                range.l_type = F_RDLCK;
                range.l_whence = SEEK_SET;
                bool locked =
                    now.fd && fcntl(now.fd.Get(), F_SETLK, &range) == 0 && flock(now.fd.Get(), LOCK_EX) == 0;
                sqlite3* db = nullptr;
                locked =
                    locked && sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK;
                now.db.Reset(db);
                locked = locked && sqlite3_exec(now.db, "BEGIN; SELECT count(*) FROM keys;", nullptr, nullptr,
                                                nullptr) == SQLITE_OK;
                held.push_back(std::move(now));
                if (held.size() > 8) {
                    held.erase(held.begin());
                }
                if (locked && write(report, "x", 1) != 1) {
                    _exit(1);
                }
            }
            usleep(1000);
        }
    }

    pid_t pid_ = -1;
    posix::UniqueFd report_;
    int64_t locked_ = 0;
};

void Report(benchmark::State& state, HostileReader* hostile) {
    struct stat info {};
    if (stat(RegistryStore::DatabasePath().c_str(), &info) == 0) {
        state.counters["store_kib"] = static_cast<double>(info.st_size) / 1024;
    }
    if (hostile != nullptr) {
        state.counters["snapshots_locked"] = static_cast<double>(hostile->Locked());
    }
}

void BM_SetValue(benchmark::State& state, bool hostileReader) {
    Machine& machine = Store();
    std::unique_ptr<HostileReader> hostile(hostileReader ? new HostileReader : nullptr);
    if (hostile && !hostile->Running()) {
        state.SkipWithError("the other user's process did not start");
        return;
    }
    const std::vector<uint8_t> values[] = {Utf16(L"/opt/zep/ZEPMaintenance"), Utf16(L"/opt/zep/Other")};
    int round = 0;
    for (auto _ : state) {
        const std::vector<uint8_t>& value = values[round++ % 2];
        const uint32_t result = machine.store->SetValue(machine.bench, L"path", platform::kRegSz,
                                                        value.data(), static_cast<uint32_t>(value.size()));
        if (result != WinError::kSuccess) {
            state.SkipWithError(("SetValue failed with " + std::to_string(result)).c_str());
            break;
        }
    }
    Report(state, hostile.get());
}

void BM_CreateKey(benchmark::State& state, bool hostileReader) {
    Machine& machine = Store();
    std::unique_ptr<HostileReader> hostile(hostileReader ? new HostileReader : nullptr);
    if (hostile && !hostile->Running()) {
        state.SkipWithError("the other user's process did not start");
        return;
    }
    int64_t id = 0;
    bool created = false;
    for (auto _ : state) {
        // The key of the round before goes, so that the store keeps its size.
        state.PauseTiming();
        // The first round finds no key to delete; a real failure shows in the CreateKey below.
        (void)machine.store->DeleteKey(machine.bench, L"new");
        state.ResumeTiming();
        const uint32_t result = machine.store->CreateKey(machine.bench, L"new", nullptr, id, created);
        if (result != WinError::kSuccess) {
            state.SkipWithError(("CreateKey failed with " + std::to_string(result)).c_str());
            break;
        }
    }
    Report(state, hostile.get());
}

BENCHMARK_CAPTURE(BM_SetValue, idle, false)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);
BENCHMARK_CAPTURE(BM_SetValue, hostile_reader, true)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(3.0);
BENCHMARK_CAPTURE(BM_CreateKey, idle, false)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);
BENCHMARK_CAPTURE(BM_CreateKey, hostile_reader, true)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(3.0);

} // namespace

int main(int argc, char** argv) {
    if (geteuid() != 0) {
        std::fprintf(stderr, "zep_store_bench: skipped: only root writes the settings store, and the other "
                             "user's process needs root to start\n");
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatio("SetValue of a small REG_SZ, another user locking vs idle",
                        "BM_SetValue/hostile_reader", "BM_SetValue/idle");
    reporter.PrintRatio("CreateKey, another user locking vs idle", "BM_CreateKey/hostile_reader",
                        "BM_CreateKey/idle");
    benchmark::Shutdown();
    if (!gMachineRoot.empty()) {
        std::error_code ignored;
        fs::remove_all(gMachineRoot, ignored);
    }
    return 0;
}
