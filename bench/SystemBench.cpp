// Benchmarks: File::GetSha1Hash of 256 MiB against sha1sum, File::CopyWithHash of the same file
// installed against cp -a and sync, the stamping CopyContentTo of a 2,000-file tree against cp -a, and the
// removal of that tree against rm -rf, each pair in one run with the ratio printed at the end.
#include "system/Directory.h"
#include "system/File.h"
#include "system/Permissions.h"
#include "system/Sha1Hash.h"
#include "system/Text.h"

#include "RatioReporter.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <unistd.h>

namespace {

using namespace ZEPMaintenance;
namespace fs = std::filesystem;

constexpr std::size_t kHashFileBytes = std::size_t{256} << 20;
constexpr int kTreeFolders = 40;
constexpr int kFilesPerFolder = 50; // 2,000 files
constexpr std::size_t kTreeFileBytes = 16 << 10;

fs::path WorkFolder() {
    static const fs::path folder = [] {
        const fs::path made = fs::temp_directory_path() / ("zep-bench-" + std::to_string(getpid()));
        fs::create_directories(made);
        return made;
    }();
    return folder;
}

void WriteRandom(const fs::path& path, std::size_t bytes, std::mt19937_64& random) {
    std::ofstream out(path, std::ios::binary);
    std::vector<uint64_t> block(1 << 13);
    for (std::size_t written = 0; written < bytes;) {
        for (auto& word : block) {
            word = random();
        }
        const std::size_t chunk = std::min(bytes - written, block.size() * sizeof(uint64_t));
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(chunk));
        written += chunk;
    }
}

const fs::path& HashFile() {
    static const fs::path path = [] {
        std::mt19937_64 random(1);
        const fs::path made = WorkFolder() / "hash-input.bin";
        WriteRandom(made, kHashFileBytes, random);
        return made;
    }();
    return path;
}

const fs::path& SourceTree() {
    static const fs::path root = [] {
        std::mt19937_64 random(2);
        const fs::path made = WorkFolder() / "tree";
        for (int folder = 0; folder < kTreeFolders; ++folder) {
            const fs::path sub =
                made / ("level" + std::to_string(folder % 4)) / ("folder" + std::to_string(folder));
            fs::create_directories(sub);
            for (int file = 0; file < kFilesPerFolder; ++file) {
                WriteRandom(sub / ("file" + std::to_string(file) + ".dll"), kTreeFileBytes, random);
            }
        }
        return made;
    }();
    return root;
}

void Shell(benchmark::State& state, const std::string& command) {
    if (std::system(command.c_str()) != 0) {
        state.SkipWithError(("command failed: " + command).c_str());
    }
}

void BM_HashFileGetSha1Hash(benchmark::State& state) {
    File file;
    file.SetFullPath(Utf8ToWide(HashFile().string()));
    for (auto _ : state) {
        benchmark::DoNotOptimize(file.GetSha1Hash().ToString());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kHashFileBytes));
}

void BM_HashFileSha1sum(benchmark::State& state) {
    const std::string command = "sha1sum '" + HashFile().string() + "' > /dev/null";
    for (auto _ : state) {
        Shell(state, command);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kHashFileBytes));
}

// The copy stage's copy of one file: read once, hashed, written beside the target, flushed and renamed
// into place.
void BM_CopyWithHash(benchmark::State& state) {
    const fs::path target = WorkFolder() / "copied";
    fs::create_directories(target);
    File source;
    source.SetFullPath(Utf8ToWide(HashFile().string()));
    const std::wstring targetPath = Utf8ToWide(target.string()) + L"/";
    for (auto _ : state) {
        benchmark::DoNotOptimize(source.CopyWithHash(targetPath, L"copy.bin", L"").Install());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kHashFileBytes));
}

// The same bytes copied and flushed to disk, as the hashed copy flushes before its rename.
void BM_CopyFileCpA(benchmark::State& state) {
    const fs::path target = WorkFolder() / "copied" / "copy.bin";
    fs::create_directories(target.parent_path());
    const std::string command =
        "cp -a '" + HashFile().string() + "' '" + target.string() + "' && sync '" + target.string() + "'";
    for (auto _ : state) {
        Shell(state, command);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kHashFileBytes));
}

void BM_CopyTreeCopyContentTo(benchmark::State& state) {
    if (geteuid() != 0) {
        state.SkipWithError("setting the owner needs root");
        return;
    }
    Permissions backupSet;
    backupSet.AddAllowedAce(CSid::Administrators(), AccessMask::kFileAllAccess);
    backupSet.AddAllowedAce(CSid::Users(), AccessMask::kFileReadAndExecute);
    const CSid administrators = CSid::Administrators();
    const fs::path target = WorkFolder() / "copy";
    const std::wstring sourcePath = Utf8ToWide(SourceTree().string());
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove_all(target);
        fs::create_directory(target);
        Directory source;
        source.SetFullPath(sourcePath);
        Directory copy;
        copy.SetFullPath(Utf8ToWide(target.string()));
        state.ResumeTiming();
        source.CopyContentTo(copy, &backupSet, nullptr, &administrators, false);
    }
}

void BM_CopyTreeCpA(benchmark::State& state) {
    const fs::path target = WorkFolder() / "copy";
    const std::string command = "cp -a '" + SourceTree().string() + "/.' '" + target.string() + "'";
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove_all(target);
        fs::create_directory(target);
        state.ResumeTiming();
        Shell(state, command);
    }
}

// Removing a 2,000-file tree (Directory::Delete, as the backup and the update folder are removed) against
// rm -rf of the same tree; each run removes a fresh cp -a of it.
void FreshCopyOfTree(benchmark::State& state, const fs::path& target) {
    state.PauseTiming();
    fs::remove_all(target);
    Shell(state, "cp -a '" + SourceTree().string() + "' '" + target.string() + "' && sync");
    state.ResumeTiming();
}

void BM_DeleteTreeDelete(benchmark::State& state) {
    const fs::path target = WorkFolder() / "removed";
    for (auto _ : state) {
        FreshCopyOfTree(state, target);
        Directory removed;
        removed.SetFullPath(Utf8ToWide(target.string() + "/"));
        removed.Delete(true);
    }
}

void BM_DeleteTreeRmRf(benchmark::State& state) {
    const fs::path target = WorkFolder() / "removed";
    for (auto _ : state) {
        FreshCopyOfTree(state, target);
        Shell(state, "rm -rf '" + target.string() + "'");
    }
}

BENCHMARK(BM_HashFileGetSha1Hash)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_HashFileSha1sum)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_CopyWithHash)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_CopyFileCpA)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_CopyTreeCopyContentTo)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_CopyTreeCpA)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_DeleteTreeDelete)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_DeleteTreeRmRf)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

} // namespace

// One stamping copy of the tree into folder, for a system-call trace: the tree is made first, and
// failing writes to descriptor -1 mark where the copy's own calls begin and end.
int CopyOnce(const fs::path& folder) {
    const std::wstring sourcePath = Utf8ToWide(SourceTree().string());
    fs::create_directory(folder);
    Permissions backupSet;
    backupSet.AddAllowedAce(CSid::Administrators(), AccessMask::kFileAllAccess);
    backupSet.AddAllowedAce(CSid::Users(), AccessMask::kFileReadAndExecute);
    const CSid administrators = CSid::Administrators();
    Directory source;
    source.SetFullPath(sourcePath);
    Directory copy;
    copy.SetFullPath(Utf8ToWide(folder.string()));
    [[maybe_unused]] const ssize_t marked = write(-1, "copy starts", 11);
    source.CopyContentTo(copy, &backupSet, nullptr, &administrators, false);
    [[maybe_unused]] const ssize_t ended = write(-1, "copy ends", 9);
    return 0;
}

int main(int argc, char** argv) {
    Sha1Hash::Initialize();
    if (argc == 3 && std::string(argv[1]) == "--copy-once") {
        const int result = CopyOnce(argv[2]);
        fs::remove_all(WorkFolder());
        return result;
    }
    benchmark::Initialize(&argc, argv);
    bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatio("hash 256 MiB, GetSha1Hash vs sha1sum", "BM_HashFileGetSha1Hash",
                        "BM_HashFileSha1sum");
    reporter.PrintRatio("copy 256 MiB, CopyWithHash and Install vs cp -a and sync", "BM_CopyWithHash",
                        "BM_CopyFileCpA");
    reporter.PrintRatio("copy 2,000 files, CopyContentTo (backup set and owner) vs cp -a",
                        "BM_CopyTreeCopyContentTo", "BM_CopyTreeCpA");
    reporter.PrintRatio("remove 2,000 files, Directory::Delete vs rm -rf", "BM_DeleteTreeDelete",
                        "BM_DeleteTreeRmRf");
    benchmark::Shutdown();
    std::error_code ignored;
    fs::remove_all(WorkFolder(), ignored);
    Sha1Hash::UnInitialize();
    return 0;
}
