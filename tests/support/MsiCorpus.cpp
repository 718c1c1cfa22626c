// Test support: reading the MSI test corpus's list.
#include "support/MsiCorpus.h"

#include "base/Platform.h"
#include "system/Text.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace ZEPMaintenance::test {

std::wstring MsiCorpusFolder() {
    const std::wstring sep(1, platform::kPathSeparator);
    return GetModuleDirectory() + sep + L"msi-corpus" + sep;
}

std::vector<MsiCorpusEntry> ReadMsiCorpus() {
    std::ifstream list(std::filesystem::path(MsiCorpusFolder() + L"corpus.txt"));
    std::vector<MsiCorpusEntry> entries;
    std::string line;
    while (std::getline(list, line)) {
        std::istringstream fields(line);
        std::string file, reason;
        int verdict = 0;
        if (fields >> file >> verdict >> reason) {
            entries.push_back({std::wstring(file.begin(), file.end()), verdict == 1,
                               std::wstring(reason.begin(), reason.end())});
        }
    }
    return entries;
}

} // namespace ZEPMaintenance::test
