// zcf: scanning an update folder the way the copy stage walks it.
#include "UpdateFolder.h"
#include "ZcfProgress.h"

#include "base/posix/Utf8.h"
#include "system/Sha256Hash.h"
#include "system/Text.h"
#include "system/posix/PosixSupport.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>

namespace zcf {

namespace {

namespace fs = std::filesystem;
using ZEPMaintenance::posix::InvalidBytes;

const std::string kSystemFolder = "_ZEP_UPGRADE_SYSTEM";
const std::string kSystemComFolder = "_ZEP_UPGRADE_SYSTEM_COM";

// The name as wide text, or false when a manifest could not name it (or zcf would not write it).
bool ManifestPart(const std::string& name, std::wstring& part, NamesFor names) {
    if (names == NamesFor::TheUpdate) {
        part = ZEPMaintenance::posix::DecodeUtf8(name, InvalidBytes::Escape);
        return part.find(L'\\') == std::wstring::npos;
    }
    part = ZEPMaintenance::posix::DecodeUtf8(name, InvalidBytes::Replace);
    if (ZEPMaintenance::posix::EncodeUtf8(part, InvalidBytes::Replace) != name) {
        return false;
    }
    return std::none_of(part.begin(), part.end(),
                        [](wchar_t c) { return c == L'\\' || c < 0x20 || c == 0x7F; });
}

ZEPMaintenance::FileDigests DigestsOf(const std::string& path) {
    ZEPMaintenance::FileDigests digests;
    digests.sha1.CalcFromFile(ZEPMaintenance::posix::WidePath(path), digests.sha256);
    return digests;
}

class Scanner {
public:
    Scanner(std::vector<UpdateFile>& files, std::vector<std::string>& problems, NamesFor names)
        : files_(files), problems_(problems), names_(names) {}

    // prefix: the manifest name of the folder's entries so far; relative: for the messages.
    void Walk(const fs::path& folder, FileKind kind, const std::wstring& prefix,
              const std::wstring& setupFolder, bool top, const std::string& relative = "") {
        std::vector<fs::directory_entry> entries;
        std::error_code error;
        for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
            entries.push_back(*it);
        }
        if (error) {
            problems_.push_back("cannot list " + folder.string() + ": " + error.message());
            return;
        }
        // Names sorted, so that a manifest lists the same folder the same way every time.
        std::sort(entries.begin(), entries.end(),
                  [](const auto& a, const auto& b) { return a.path().filename() < b.path().filename(); });
        for (const fs::directory_entry& entry : entries) {
            const std::string name = entry.path().filename().string();
            std::wstring part;
            if (!ManifestPart(name, part, names_)) {
                problems_.push_back(
                    entry.path().string() +
                    (names_ == NamesFor::TheUpdate
                         ? ": a name holding a backslash, which a manifest name reads as a folder"
                         : ": a name that is not UTF-8 or holds a backslash or control character"));
                continue;
            }
            const fs::file_status status = entry.symlink_status(error);
            const std::string below = relative + name;
            if (fs::is_directory(status)) {
                if (top && kind == FileKind::Product && name == kSystemFolder) {
                    Walk(entry.path(), FileKind::System, part + L"\\", setupFolder, false, below + "/");
                } else if (top && kind == FileKind::Product && name == kSystemComFolder) {
                    Walk(entry.path(), FileKind::SystemCom, part + L"\\", setupFolder, false, below + "/");
                } else if (top && kind == FileKind::Product && !setupFolder.empty() && part == setupFolder) {
                    Walk(entry.path(), FileKind::Setup, L"", setupFolder, false, below + "/");
                } else if (kind == FileKind::System || kind == FileKind::SystemCom) {
                    // The system folders' sub-folders keep the manifest name of the special folder.
                    Walk(entry.path(), kind, prefix, setupFolder, false, below + "/");
                } else {
                    Walk(entry.path(), kind, prefix + part + L"\\", setupFolder, false, below + "/");
                }
            } else if (fs::is_regular_file(status)) {
                if (top && (name == "._ZEP_UPGRADE_delete" || name == "zep_upgrade.xml.zcf")) {
                    continue;
                }
                files_.push_back(UpdateFile{kind, prefix + part, entry.path().string(), {}, {}, below});
            } else {
                problems_.push_back(entry.path().string() +
                                    ": not a regular file or folder (a link or special file)");
            }
        }
    }

private:
    std::vector<UpdateFile>& files_;
    std::vector<std::string>& problems_;
    const NamesFor names_;
};

} // namespace

std::vector<UpdateFile> ScanUpdateFolder(const std::string& folder, const std::wstring& setupFolder,
                                         std::vector<std::string>& problems, NamesFor names) {
    std::vector<UpdateFile> files;
    Scanner(files, problems, names).Walk(fs::path(folder), FileKind::Product, L"", setupFolder, true);
    // Hashed once every file is known, so that a long run can say how far it is.
    Progress progress("hashing", files.size());
    for (UpdateFile& file : files) {
        const ZEPMaintenance::FileDigests digests = DigestsOf(file.path);
        file.hash = digests.sha1.ToString();
        file.sha256 = digests.sha256.ToString();
        progress.Advance();
    }
    return files;
}

std::string Utf8(const std::wstring& text) {
    return ZEPMaintenance::posix::EncodeUtf8(text, InvalidBytes::Replace);
}

} // namespace zcf
