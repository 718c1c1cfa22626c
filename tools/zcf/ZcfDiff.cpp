// zcf diff: the update folder between two release trees, read without following a link anywhere in them.
#include "ZcfDiff.h"

#include "ZcfKeys.h"
#include "ZcfProgress.h"

#include "base/CodePage.h"
#include "base/posix/Utf8.h"
#include "system/Text.h"
#include "system/posix/PosixSupport.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace zcf {

const char kDiffHelp[] = R"(zcf diff OLD NEW --out UPDATE

Builds the update folder UPDATE that turns a product folder holding the release tree OLD into one
holding the release tree NEW: the files NEW adds or changes (compared byte for byte), copied into
UPDATE at their relative paths, and the delete list UPDATE/._ZEP_UPGRADE_delete (code page 852, CR LF)
of what NEW no longer has: removed files, an empty line, then removed folders (only the outermost of a
removed folder tree; the update deletes each with its content). Names are compared as Windows compares
them, without regard to letter case. A name whose case alone changed (Readme.txt to README.txt) is
listed for deletion and copied anew, since an update deletes before it copies and a copy keeps the
name a file already has; a folder whose case changed is deleted and all of its files copied anew.
An update makes only the folders on the way to a file: an empty folder of NEW that the product lacks
cannot be delivered, and is reported on standard error and left out.

OLD and NEW are product trees: what the product folder holds. Files for the system folders
(_ZEP_UPGRADE_SYSTEM, _ZEP_UPGRADE_SYSTEM_COM) and setup programs are no part of them; put them into
UPDATE yourself before "zcf manifest", which hashes the whole update folder. A product tree with a
folder of either system folder name, or a file named ._ZEP_UPGRADE_delete or zep_upgrade.xml.zcf, at
its top (in any letter case) is refused.

Refused, with every problem named on standard error, exit code 3 and nothing written: a symbolic
link, FIFO, socket or device anywhere in either tree; a name that is not UTF-8, holds a character
Windows does not allow (< > : " / \ | ? * or a control character), ends in a dot or blank, is a
device name (CON, NUL, COM1, ...), or holds a character code page 852 lacks; two names in one
folder that differ only in letter case; an UPDATE that exists and is not an empty folder, or that
lies inside OLD or NEW. UPDATE is written as a new folder beside it and renamed into place at the end.
Prints one line for each file copied and each path to delete.
)";

namespace {

namespace fs = std::filesystem;
using ZEPMaintenance::posix::InvalidBytes;
using ZEPMaintenance::posix::ObjectKind;
using ZEPMaintenance::posix::UniqueFd;

const char kDeleteListName[] = "._ZEP_UPGRADE_delete";

[[noreturn]] void Fail(const std::string& message) {
    throw ToolError{kExitInput, message};
}

std::string ErrnoText() {
    return std::strerror(errno);
}

std::wstring Decoded(const std::string& name) {
    return ZEPMaintenance::posix::DecodeUtf8(name, InvalidBytes::Replace);
}

bool IsDeviceName(const std::wstring& name) {
    // The part before the first dot, without trailing blanks, as Windows reads "nul .txt".
    std::wstring base = ZEPMaintenance::ToUpper(name.substr(0, name.find(L'.')));
    base.erase(base.find_last_not_of(L' ') + 1);
    if (base == L"CON" || base == L"PRN" || base == L"AUX" || base == L"NUL") {
        return true;
    }
    return base.size() == 4 && (base.rfind(L"COM", 0) == 0 || base.rfind(L"LPT", 0) == 0) &&
           base[3] >= L'1' && base[3] <= L'9';
}

// A file or folder of a release tree, read once; folders with their entries sorted by name.
struct Node {
    std::string name; // as on disk
    std::wstring wide;
    std::wstring key; // as Windows compares names
    bool folder = false;
    bool holdsFile = false; // a folder with a file somewhere below it
    std::vector<Node> children;
    std::map<std::wstring, std::size_t> byKey;

    bool HoldsFile() const { return holdsFile; }
    const Node* Find(const std::wstring& wanted) const {
        const auto found = byKey.find(wanted);
        return found == byKey.end() ? nullptr : &children[found->second];
    }
    void Add(Node child) {
        holdsFile = holdsFile || !child.folder || child.holdsFile;
        byKey.emplace(child.key, children.size());
        children.push_back(std::move(child));
    }
};

// Reads a release tree through descriptors: each folder opened below its parent without following a
// link, each entry's type taken from the folder it is in, never from a path.
class TreeReader {
public:
    explicit TreeReader(std::vector<std::string>& problems) : problems_(problems) {}

    Node Read(const std::string& root) {
        Node top;
        top.folder = true;
        UniqueFd fd;
        struct stat status {};
        if (lstat(root.c_str(), &status) != 0) {
            problems_.push_back(root + ": " + ErrnoText());
            return top;
        }
        if (!S_ISDIR(status.st_mode)) {
            problems_.push_back(root + ": " +
                                (S_ISREG(status.st_mode) ? "a file" : ObjectKindName(status.st_mode)) +
                                ", not a folder");
            return top;
        }
        if (ZEPMaintenance::posix::OpenObject(root, O_RDONLY | O_DIRECTORY, ObjectKind::Folder, fd) != 0) {
            problems_.push_back(root + ": cannot be opened as a folder");
            return top;
        }
        ReadFolder(fd, root, top, true);
        return top;
    }

private:
    void Problem(const std::string& path, const std::string& text) {
        problems_.push_back(path + ": " + text);
    }

    void ReadFolder(const UniqueFd& folder, const std::string& path, Node& node, bool top) {
        UniqueFd listing = ZEPMaintenance::posix::MakeDescriptor(
            [](int fd) { return fcntl(fd, F_DUPFD_CLOEXEC, 3); }, folder.Get());
        DIR* stream = listing ? fdopendir(listing.Get()) : nullptr;
        if (stream == nullptr) {
            Problem(path, "cannot be listed: " + ErrnoText());
            return;
        }
        (void)listing.Release(); // the stream owns it now
        std::vector<std::string> names;
        errno = 0;
        while (const dirent* entry = readdir(stream)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
                names.emplace_back(entry->d_name);
            }
        }
        const int listError = errno;
        closedir(stream);
        if (listError != 0) {
            Problem(path, std::string("cannot be listed: ") + std::strerror(listError));
            return;
        }
        std::sort(names.begin(), names.end());
        std::map<std::wstring, std::string> seen; // key -> the first name of it
        for (const std::string& name : names) {
            const std::string full = path + "/" + name;
            if (const std::string problem = ProductNameProblem(name); !problem.empty()) {
                Problem(full, problem);
                continue;
            }
            Node child;
            child.name = name;
            child.wide = Decoded(name);
            child.key = ZEPMaintenance::ToUpper(child.wide);
            if (const auto [earlier, added] = seen.try_emplace(child.key, name); !added) {
                Problem(full, "differs from " + earlier->second +
                                  " only in letter case; Windows takes the two for one name");
                continue;
            }
            struct stat status {};
            if (fstatat(folder.Get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
                Problem(full, "cannot be looked at: " + ErrnoText());
                continue;
            }
            if (top && S_ISDIR(status.st_mode) &&
                (child.key == L"_ZEP_UPGRADE_SYSTEM" || child.key == L"_ZEP_UPGRADE_SYSTEM_COM")) {
                Problem(full, "a system folder of an update folder; files for the system folders are no part "
                              "of a product tree");
                continue;
            }
            if (top && S_ISREG(status.st_mode) &&
                (child.key == L"._ZEP_UPGRADE_DELETE" || child.key == L"ZEP_UPGRADE.XML.ZCF")) {
                Problem(full, "the name of an update folder's own file, which an update never copies");
                continue;
            }
            if (S_ISDIR(status.st_mode)) {
                UniqueFd sub;
                if (ZEPMaintenance::posix::OpenObjectAt(folder.Get(), name, O_RDONLY | O_DIRECTORY,
                                                        ObjectKind::Folder, sub) != 0) {
                    Problem(full, "cannot be opened as a folder (replaced meanwhile?)");
                    continue;
                }
                child.folder = true;
                ReadFolder(sub, full, child, false);
            } else if (!S_ISREG(status.st_mode)) {
                Problem(full, std::string(ObjectKindName(status.st_mode)) +
                                  "; a release tree holds only files and folders, and no link is followed");
                continue;
            }
            node.Add(std::move(child));
        }
    }

    std::vector<std::string>& problems_;
};

// What the update folder gets: files to copy (paths in NEW, '/'-separated), and the delete list.
struct Plan {
    std::vector<std::string> copies;
    std::vector<std::wstring> copyNames;
    std::vector<std::string> compare; // present in both under the same name
    std::vector<std::wstring> compareNames;
    std::vector<std::wstring> deleteFiles;
    std::vector<std::wstring> deleteFolders;
    std::vector<std::string> warnings;
};

std::string Joined(const std::string& path, const std::string& name) {
    return path.empty() ? name : path + "/" + name;
}
std::wstring Joined(const std::wstring& path, const std::wstring& name) {
    return path.empty() ? name : path + L"\\" + name;
}

void CopyWhole(const Node& node, const std::string& path, const std::wstring& name, Plan& plan) {
    if (!node.folder) {
        plan.copies.push_back(path);
        plan.copyNames.push_back(name);
        return;
    }
    if (!node.HoldsFile()) {
        plan.warnings.push_back(
            "the empty folder " + Utf8(name) +
            " cannot be delivered (an update makes only the folders on the way to a file); "
            "left out");
        return;
    }
    for (const Node& child : node.children) {
        CopyWhole(child, Joined(path, child.name), Joined(name, child.wide), plan);
    }
}

// oldFolder and newFolder stand at the same place (names equal as Windows compares them).
void Compare(const Node& oldFolder, const Node& newFolder, const std::string& path, const std::wstring& name,
             Plan& plan) {
    // What NEW lacks, or has as another kind or in another letter case, goes; the delete comes first.
    for (const Node& old : oldFolder.children) {
        const Node* now = newFolder.Find(old.key);
        const bool keptFolder =
            now != nullptr && old.folder && now->folder && (now->name == old.name || !now->HoldsFile());
        if (now != nullptr && now->folder == old.folder && (now->name == old.name || keptFolder)) {
            continue;
        }
        (old.folder ? plan.deleteFolders : plan.deleteFiles).push_back(Joined(name, old.wide));
    }
    for (const Node& now : newFolder.children) {
        const Node* old = oldFolder.Find(now.key);
        const std::string childPath = Joined(path, now.name);
        const std::wstring childName = Joined(name, now.wide);
        if (old != nullptr && old->folder && now.folder && (old->name == now.name || !now.HoldsFile())) {
            if (old->name != now.name) {
                plan.warnings.push_back("the folder " + Utf8(Joined(name, old->wide)) +
                                        " holds no file in the new tree, so its new letter case (" +
                                        Utf8(childName) + ") cannot be delivered; it keeps its name");
            }
            // The product keeps the old spelling: what goes below it is named so.
            Compare(*old, now, childPath, Joined(name, old->wide), plan);
        } else if (old != nullptr && !old->folder && !now.folder && old->name == now.name) {
            plan.compare.push_back(childPath);
            plan.compareNames.push_back(childName);
        } else {
            CopyWhole(now, childPath, childName, plan);
        }
    }
}

UniqueFd OpenBelow(const std::string& root, const std::string& path, struct stat& status) {
    UniqueFd fd;
    const uint32_t error = ZEPMaintenance::posix::OpenObjectBelow(root, root + "/" + path, O_RDONLY,
                                                                  ObjectKind::File, fd, &status);
    if (error != 0) {
        Fail("cannot open " + root + "/" + path + " (error " + std::to_string(error) +
             "): it changed while being read, or a link is on the way");
    }
    return fd;
}

// Reads up to size bytes; fewer only at the end of the file.
std::size_t ReadSome(int fd, uint8_t* buffer, std::size_t size, const std::string& path) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t count = read(fd, buffer + done, size - done);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            Fail("cannot read " + path + ": " + ErrnoText());
        }
        if (count == 0) {
            break;
        }
        done += static_cast<std::size_t>(count);
    }
    return done;
}

bool SameBytes(const std::string& oldRoot, const std::string& newRoot, const std::string& path) {
    struct stat oldStatus {
    }, newStatus{};
    const UniqueFd oldFd = OpenBelow(oldRoot, path, oldStatus);
    const UniqueFd newFd = OpenBelow(newRoot, path, newStatus);
    if (oldStatus.st_size != newStatus.st_size) {
        return false;
    }
    std::vector<uint8_t> a(1 << 16), b(1 << 16);
    for (;;) {
        const std::size_t got = ReadSome(oldFd.Get(), a.data(), a.size(), oldRoot + "/" + path);
        const std::size_t other = ReadSome(newFd.Get(), b.data(), b.size(), newRoot + "/" + path);
        if (got != other || std::memcmp(a.data(), b.data(), got) != 0) {
            return false;
        }
        if (got < a.size()) {
            return true;
        }
    }
}

void WriteAll(int fd, const uint8_t* bytes, std::size_t size, const std::string& path) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t count = write(fd, bytes + done, size - done);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            Fail("cannot write " + path + ": " + ErrnoText());
        }
        done += static_cast<std::size_t>(count);
    }
}

// The folder being written; removed unless it was put in place.
class Staging {
public:
    explicit Staging(const std::string& out) {
        path_ = out + ".XXXXXX";
        if (mkdtemp(path_.data()) == nullptr) {
            const std::string reason = ErrnoText();
            path_.clear();
            Fail("cannot create a folder beside " + out + ": " + reason);
        }
    }
    ~Staging() {
        if (!path_.empty()) {
            std::error_code ignored;
            fs::remove_all(path_, ignored);
        }
    }
    Staging(const Staging&) = delete;
    Staging& operator=(const Staging&) = delete;

    const std::string& Path() const { return path_; }

    void MakeFoldersFor(const std::string& relative) {
        for (std::size_t slash = relative.find('/'); slash != std::string::npos;
             slash = relative.find('/', slash + 1)) {
            const std::string folder = path_ + "/" + relative.substr(0, slash);
            if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
                Fail("cannot create " + folder + ": " + ErrnoText());
            }
        }
    }

    void CopyIn(const std::string& root, const std::string& relative) {
        MakeFoldersFor(relative);
        struct stat status {};
        const UniqueFd source = OpenBelow(root, relative, status);
        const std::string target = path_ + "/" + relative;
        const UniqueFd written = ZEPMaintenance::posix::MakeDescriptor(
            [](const char* name, mode_t mode) {
                return open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
            },
            target.c_str(), static_cast<mode_t>(status.st_mode & 0777));
        if (!written) {
            Fail("cannot create " + target + ": " + ErrnoText());
        }
        std::vector<uint8_t> buffer(1 << 16);
        for (;;) {
            const std::size_t got =
                ReadSome(source.Get(), buffer.data(), buffer.size(), root + "/" + relative);
            WriteAll(written.Get(), buffer.data(), got, target);
            if (got < buffer.size()) {
                break;
            }
        }
    }

    void WriteFile(const std::string& name, const std::string& bytes) {
        const std::string target = path_ + "/" + name;
        const UniqueFd written = ZEPMaintenance::posix::MakeDescriptor(
            [](const char* file) {
                return open(file, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
            },
            target.c_str());
        if (!written) {
            Fail("cannot create " + target + ": " + ErrnoText());
        }
        WriteAll(written.Get(), reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), target);
    }

    // Synced, then renamed over an empty folder or a free name; nothing else is ever replaced.
    void Publish(const std::string& out, bool emptyFolderThere) {
        UniqueFd folder;
        if (ZEPMaintenance::posix::OpenObject(path_, O_RDONLY | O_DIRECTORY, ObjectKind::Folder, folder) !=
                0 ||
            fchmod(folder.Get(), 0755) != 0 || syncfs(folder.Get()) != 0) {
            Fail("cannot finish " + path_ + ": " + ErrnoText());
        }
        const int renamed = emptyFolderThere
                                ? rename(path_.c_str(), out.c_str())
                                : renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, out.c_str(), RENAME_NOREPLACE);
        if (renamed != 0) {
            const std::string reason =
                errno == EEXIST || errno == ENOTEMPTY ? "something was put there meanwhile" : ErrnoText();
            Fail("cannot put the update folder at " + out + ": " + reason);
        }
        path_.clear();
    }

private:
    std::string path_;
};

// True when out is an empty folder, false when nothing is there; refuses anything else.
bool CheckOut(const std::string& out) {
    struct stat status {};
    if (lstat(out.c_str(), &status) != 0) {
        if (errno != ENOENT) {
            Fail("cannot look at " + out + ": " + ErrnoText());
        }
        return false;
    }
    if (!S_ISDIR(status.st_mode)) {
        Fail("will not replace " + out + ": it exists and is not a folder");
    }
    std::error_code error;
    if (!fs::is_empty(out, error) || error) {
        Fail("will not write into " + out + ": the folder is not empty");
    }
    return true;
}

bool Inside(const std::string& path, const std::string& folder) {
    return path == folder || (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
                              (folder.back() == '/' || path[folder.size()] == '/'));
}

// The update folder may not be written where a tree is read.
void CheckOutPlace(const std::string& out, const std::string& oldTree, const std::string& newTree) {
    const fs::path parent = fs::absolute(fs::path(out)).lexically_normal().parent_path();
    std::error_code error;
    const fs::path realParent = fs::canonical(parent, error);
    if (error) {
        Fail("the folder " + parent.string() + " for " + out + " does not exist");
    }
    for (const std::string& tree : {oldTree, newTree}) {
        const fs::path realTree = fs::canonical(tree, error);
        if (!error && Inside(realParent.string(), realTree.string())) {
            Fail("will not write " + out + " inside the release tree " + tree);
        }
    }
}

std::string Plural(std::size_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

} // namespace

bool ToCodePage852(const std::wstring& text, std::string& bytes) {
    return ZEPMaintenance::WideToSingleByte(text, ZEPMaintenance::kCentralEuropeanOemCodePage, bytes);
}

std::string DeleteListBytes(const std::vector<std::wstring>& files,
                            const std::vector<std::wstring>& folders) {
    if (files.empty() && folders.empty()) {
        return std::string();
    }
    std::string bytes;
    const auto line = [&](const std::wstring& text) {
        std::string encoded;
        if (!ToCodePage852(text, encoded)) {
            Fail("the path " + Utf8(text) + " cannot be written in code page 852");
        }
        bytes += encoded + "\r\n";
    };
    for (const std::wstring& file : files) {
        line(file);
    }
    bytes += "\r\n";
    for (const std::wstring& folder : folders) {
        line(folder);
    }
    return bytes;
}

std::string ProductNameProblem(const std::string& name) {
    const std::wstring wide = Decoded(name);
    if (ZEPMaintenance::posix::EncodeUtf8(wide, InvalidBytes::Replace) != name) {
        return "the name is not UTF-8";
    }
    for (const wchar_t c : wide) {
        if (c < 0x20 || c == 0x7F) {
            return "the name holds a control character";
        }
        if (std::wcschr(L"<>:\"/\\|?*", c) != nullptr) {
            return "the name holds " + std::string(1, static_cast<char>(c)) +
                   ", which Windows does not allow in a name";
        }
    }
    if (wide.back() == L'.' || wide.back() == L' ') {
        return "the name ends in a dot or blank, which Windows drops";
    }
    if (IsDeviceName(wide)) {
        return "the name is a device name on Windows";
    }
    std::string encoded;
    if (!ToCodePage852(wide, encoded)) {
        return "the name holds a character that code page 852, the delete list's, lacks";
    }
    return std::string();
}

void AddCodePageProblems(const std::vector<UpdateFile>& files, const std::wstring& setupFolder,
                         std::vector<std::string>& problems) {
    std::string encoded;
    for (const UpdateFile& file : files) {
        if (file.kind != FileKind::Product && file.kind != FileKind::Setup) {
            continue;
        }
        const std::wstring inProduct =
            file.kind == FileKind::Setup ? setupFolder + L"\\" + file.manifestName : file.manifestName;
        if (!ToCodePage852(inProduct, encoded)) {
            problems.push_back(file.path + ": the name holds a character that code page 852 lacks; no delete "
                                           "list could name the file in the product folder");
        }
    }
}

int Diff(const std::string& oldGiven, const std::string& newGiven, const std::string& outGiven) {
    // A trailing '/' would make the kernel follow a link in the last component.
    const std::string oldTree = ZEPMaintenance::posix::WithoutTrailingSlash(oldGiven);
    const std::string newTree = ZEPMaintenance::posix::WithoutTrailingSlash(newGiven);
    const std::string out = ZEPMaintenance::posix::WithoutTrailingSlash(outGiven);
    const bool emptyFolderThere = CheckOut(out);
    CheckOutPlace(out, oldTree, newTree);

    std::vector<std::string> problems;
    TreeReader reader(problems);
    const Node oldRoot = reader.Read(oldTree);
    const Node newRoot = reader.Read(newTree);
    for (const std::string& problem : problems) {
        std::fprintf(stderr, "zcf diff: %s\n", problem.c_str());
    }
    if (!problems.empty()) {
        Fail(Plural(problems.size(), "problem", "problems") + " in the release trees; nothing written");
    }

    Plan plan;
    Compare(oldRoot, newRoot, "", L"", plan);
    {
        Progress progress("comparing", plan.compare.size());
        for (std::size_t i = 0; i < plan.compare.size(); ++i) {
            if (!SameBytes(oldTree, newTree, plan.compare[i])) {
                plan.copies.push_back(plan.compare[i]);
                plan.copyNames.push_back(plan.compareNames[i]);
            }
            progress.Advance();
        }
    }
    std::sort(plan.deleteFiles.begin(), plan.deleteFiles.end());
    std::sort(plan.deleteFolders.begin(), plan.deleteFolders.end());
    const std::string deleteList = DeleteListBytes(plan.deleteFiles, plan.deleteFolders);

    Staging staging(out);
    {
        Progress progress("copying", plan.copies.size());
        for (const std::string& copy : plan.copies) {
            staging.CopyIn(newTree, copy);
            progress.Advance();
        }
    }
    staging.WriteFile(kDeleteListName, deleteList);
    staging.Publish(out, emptyFolderThere);

    for (const std::string& warning : plan.warnings) {
        std::fprintf(stderr, "zcf diff: warning: %s\n", warning.c_str());
    }
    std::vector<std::wstring> copied = plan.copyNames;
    std::sort(copied.begin(), copied.end());
    for (const std::wstring& name : copied) {
        std::printf("copy: %s\n", Utf8(name).c_str());
    }
    for (const std::wstring& name : plan.deleteFiles) {
        std::printf("delete file: %s\n", Utf8(name).c_str());
    }
    for (const std::wstring& name : plan.deleteFolders) {
        std::printf("delete folder: %s\n", Utf8(name).c_str());
    }
    std::printf("%s: %s to copy, %s and %s to delete\n", out.c_str(),
                Plural(plan.copies.size(), "file", "files").c_str(),
                Plural(plan.deleteFiles.size(), "file", "files").c_str(),
                Plural(plan.deleteFolders.size(), "folder", "folders").c_str());
    return 0;
}

} // namespace zcf
