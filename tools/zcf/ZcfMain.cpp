// zcf: the release tool of the signed upgrade manifest. Makes key pairs, writes a manifest from an
// update folder, signs and verifies containers with the program's own reader, and checks a data
// folder the way an update would. Exit codes: 0 done, 1 rejected, 2 bad command line, 3 bad input.
#include "UpdateFolder.h"
#include "ZcfDiff.h"
#include "ZcfInspect.h"
#include "ZcfKeys.h"

#include "diag/IMException.h"
#include "diag/Log.h"
#include "system/Directory.h"
#include "system/Sha256Hash.h"
#include "system/Text.h"
#include "system/platform/FilePrimitives.h"
#include "system/platform/VolumePrimitives.h"
#include "system/posix/PosixSupport.h"
#include "upgrade/Action.h"
#include "upgrade/ConfigFile.h"
#include "upgrade/CopyNewFiles.h"
#include "upgrade/EngineLayout.h"
#include "upgrade/HostUpdate.h"
#include "upgrade/ReleasePath.h"
#include "upgrade/SignedManifestFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <pugixml.hpp>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unordered_set>
#include <vector>

namespace {

using namespace zcf;
using ZEPMaintenance::ConfigFile;
using ZEPMaintenance::FileDigests;
using ZEPMaintenance::IMException;
using ZEPMaintenance::ManifestFileEntry;
using ZEPMaintenance::Sha1Hash;
using ZEPMaintenance::SignedManifestFile;
using ZEPMaintenance::SigningKey;

[[noreturn]] void Fail(int exitCode, const std::string& message) {
    throw ToolError{exitCode, message};
}

[[noreturn]] void Usage(const std::string& message) {
    Fail(kExitUsage, message + " (zcf --help)");
}

std::wstring Wide(const std::string& text) {
    return ZEPMaintenance::posix::WidePath(text);
}

// The program's error lines (the manifest reader's, the hash's) reach the user on stderr.
int CreateHandle(const wchar_t* category, ZEPMaintenance::LogHandleRef* out) {
    *out = new std::wstring(category);
    return 1;
}
void DestroyHandle(ZEPMaintenance::LogHandleRef handle) {
    delete static_cast<std::wstring*>(handle);
}
bool Enabled(ZEPMaintenance::LogHandleRef) {
    return true;
}
// While set, the program's error lines are kept here instead: the worker's own checks, reported by check.
std::vector<std::string>* capturedErrors = nullptr;

void WriteError(ZEPMaintenance::LogHandleRef handle, const wchar_t* message) {
    if (capturedErrors != nullptr) {
        capturedErrors->push_back(Utf8(message));
        return;
    }
    std::fprintf(stderr, "zcf: %s: %s\n", Utf8(*static_cast<std::wstring*>(handle)).c_str(),
                 Utf8(message).c_str());
}

void InstallErrorLog() {
    static ZEPMaintenance::LoggerFunctions functions;
    functions.create = CreateHandle;
    functions.destroy = DestroyHandle;
    functions.isErrorEnabled = Enabled;
    functions.error = WriteError;
    ZEPMaintenance::InitLogging(&functions);
}

// Arguments after the command: options with values, and positional ones.
class Arguments {
public:
    Arguments(int argc, char** argv, int first) {
        for (int i = first; i < argc; ++i) {
            items_.emplace_back(argv[i]);
        }
    }
    bool WantsHelp() const {
        for (const std::string& item : items_) {
            if (item == "--help" || item == "-h") {
                return true;
            }
        }
        return false;
    }
    const std::vector<std::string>& Items() const { return items_; }

private:
    std::vector<std::string> items_;
};

// Walks options in order; every option takes one value.
template <class Handler>
std::vector<std::string> ParseOptions(const Arguments& arguments, const std::set<std::string>& known,
                                      Handler&& handle) {
    std::vector<std::string> positional;
    const auto& items = arguments.Items();
    for (std::size_t i = 0; i < items.size(); ++i) {
        const std::string& item = items[i];
        if (item.rfind("--", 0) != 0) {
            positional.push_back(item);
            continue;
        }
        if (known.count(item) == 0) {
            Usage("unknown option " + item);
        }
        if (i + 1 >= items.size()) {
            Usage(item + " needs a value");
        }
        handle(item, items[++i]);
    }
    return positional;
}

std::string Single(std::optional<std::string>& slot, const std::string& option, const std::string& value) {
    if (slot) {
        Usage(option + " given twice");
    }
    slot = value;
    return value;
}

std::string Required(const std::optional<std::string>& slot, const std::string& option) {
    if (!slot) {
        Usage(option + " is required");
    }
    return *slot;
}

// A file the command reads that is not there is bad input (3), not a container an update would refuse.
void RequireInput(const std::string& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 && errno == ENOENT) {
        Fail(kExitInput, path + " does not exist");
    }
}

bool IsFolder(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// ---- keygen -------------------------------------------------------------------------------------

const char kKeygenHelp[] = R"(zcf keygen --out DIR [--pass-file F | --pass-env NAME]

Makes an RSA-2048 signing pair in DIR (created when missing; existing files are never replaced):
  DIR/signing-private.pem  the private key (mode 0600): keep it off build machines
  DIR/signing.key          the key file a build takes (-DZEP_SIGNING_KEY_FILE=DIR/signing.key)
Prints the key id (upper-case hex SHA-1 of the 276-byte public-key blob) and the blob in Base64.
With --pass-file (the first line of file F) or --pass-env (the environment variable NAME) the private
key is written encrypted (PKCS#8, AES-256-CBC) under that pass phrase; zcf sign then needs it too.
)";

int Keygen(const Arguments& arguments) {
    std::optional<std::string> out, passFile, passEnv;
    const auto positional = ParseOptions(
        arguments, {"--out", "--pass-file", "--pass-env"}, [&](const std::string& o, const std::string& v) {
            Single(o == "--out" ? out : o == "--pass-file" ? passFile : passEnv, o, v);
        });
    if (!positional.empty()) {
        Usage("keygen takes no file argument");
    }
    const PassPhrase passPhrase =
        ReadPassPhrase(passFile ? &*passFile : nullptr, passEnv ? &*passEnv : nullptr);
    const std::string folder = Required(out, "--out");
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error || !IsFolder(folder)) {
        Fail(kExitInput, "cannot create the folder " + folder);
    }
    PrivateKey key;
    PrivateKey::Generate(key);
    const SigningKey publicKey = key.Public();
    const std::string privatePath = folder + "/signing-private.pem";
    const std::string keyFilePath = folder + "/signing.key";
    if (std::filesystem::exists(std::filesystem::symlink_status(keyFilePath))) {
        Fail(kExitInput, keyFilePath + " exists already");
    }
    key.SavePem(privatePath, passPhrase);
    WriteNewFile(keyFilePath, KeyFileText(publicKey), 0644);
    std::printf("private key: %s\nkey file:    %s\nkey id:      %s\npublic key:  %s\n", privatePath.c_str(),
                keyFilePath.c_str(), publicKey.keyId.c_str(), Utf8(publicKey.publicKey).c_str());
    return 0;
}

// ---- manifest -----------------------------------------------------------------------------------

const char kManifestHelp[] = R"(zcf manifest UPDATE-FOLDER [options]

Writes the manifest XML (UTF-8) of an update folder: the SHA-1 (hash) and the SHA-256 (sha256) of
every file in it, named as the update names it (backslash-separated): product files by their path, files below _ZEP_UPGRADE_SYSTEM\
and _ZEP_UPGRADE_SYSTEM_COM\ as that folder and the file name, setup files (in the setup folder)
by their path inside it. zep_upgrade.xml.zcf and ._ZEP_UPGRADE_delete at the top are left out.
  --out FILE              write to FILE instead of standard output
  --version TEXT          the version attribute (default 1.0)
  --setup-folder NAME     the setup sub-folder of the update folder
  --setup-args NAME=ARGS  arguments of the setup file NAME
  --delete-file PATH      a pre-upgrade delete of PATH, relative to the product folder (repeatable)
  --run-file PATH         a post-upgrade program (repeatable); it must be an upgrade file or
                          SETUP-FOLDER\NAME of a setup file
  --args ARGS             arguments of the --run-file just before
  --run-after PATH        the program the dialog starts when the update is done
The written XML is read back with the program's reader; a manifest it would not carry is not written.
A link, FIFO, socket or device in the folder, and an upgrade or setup file (one that lands in the
product folder) whose name has a character code page 852 lacks, so that no later delete list could
name it, are refused with exit code 3, each named on standard error, and nothing is written.
Refused with exit 3, nothing written, by the update's own rules: a --delete-file that is empty, not
inside the product folder (rooted, a drive or stream, "..", a component of dots and blanks, the folder
itself) or ending in a separator, or that names the file of an earlier one; a --run-file not inside the
product folder; a --run-after not inside the product folder (which an update does not check itself).
Warned of on standard error: names that are one name when letter case is ignored (an update refuses a
folder holding both), files in sub-folders of the system folders (an update looks for them at the
folder's top), a --run-file in another letter case than its file (an update on Linux does not find it).
)";

struct RunFile {
    std::wstring path;
    std::wstring args;
};

void AddText(pugi::xml_node parent, const wchar_t* name, const std::wstring& text) {
    parent.append_child(name).text().set(text.c_str());
}

class BufferWriter : public pugi::xml_writer {
public:
    void write(const void* data, size_t size) override {
        const auto* bytes = static_cast<const uint8_t*>(data);
        out.insert(out.end(), bytes, bytes + size);
    }
    std::vector<uint8_t> out;
};

template <class Entries>
bool SameEntries(const Entries& loaded, const std::vector<ManifestFileEntry>& wanted) {
    if (loaded.size() != wanted.size()) {
        return false;
    }
    for (std::size_t i = 0; i < loaded.size(); ++i) {
        if (loaded[i].fileName != wanted[i].fileName || loaded[i].args != wanted[i].args ||
            loaded[i].hash.ToString() != wanted[i].hash.ToString() ||
            !(loaded[i].sha256 == wanted[i].sha256)) {
            return false;
        }
    }
    return true;
}

// The digests of a scanned file, as the copy stage will compute them.
FileDigests DigestsOf(const UpdateFile& file) {
    FileDigests digests;
    digests.sha1.LoadFromString(file.hash);
    digests.sha256.LoadFromString(file.sha256);
    return digests;
}

ManifestFileEntry Entry(const std::wstring& name, const FileDigests& digests, const std::wstring& args) {
    ManifestFileEntry entry;
    entry.fileName = name;
    entry.args = args;
    entry.hash = digests.sha1;
    entry.sha256 = digests.sha256;
    return entry;
}

// Both digests of a listed file: the SHA-1 every reader of a manifest knows, and the SHA-256 beside it.
pugi::xml_node AppendFile(pugi::xml_node list, const ManifestFileEntry& entry) {
    pugi::xml_node element = list.append_child(L"File");
    element.append_attribute(L"hash") = Wide(entry.hash.ToString()).c_str();
    element.append_attribute(L"sha256") = Wide(entry.sha256.ToString()).c_str();
    return element;
}

std::string DeleteFileRefusal(ZEPMaintenance::DeleteFilePath rule) {
    switch (rule) {
    case ZEPMaintenance::DeleteFilePath::Empty:
        return "is empty";
    case ZEPMaintenance::DeleteFilePath::Outside:
        return "names nothing inside the product folder";
    case ZEPMaintenance::DeleteFilePath::NamesNoFile:
        return "ends in a separator and names no file";
    case ZEPMaintenance::DeleteFilePath::Deletable:
        break;
    }
    return "";
}

// The name a file of this update has in the product folder once the update has copied it.
std::wstring ProductName(const UpdateFile& file, const std::wstring& setupFolder) {
    return file.kind == FileKind::Setup ? setupFolder + L"\\" + file.manifestName : file.manifestName;
}

// Names the update compares without their letter case: two of them that differ only in case are one name
// for Windows, and the update refuses a folder holding both (143). Files of sub-folders of the system
// folders are listed by the special folder and their name alone, which the update does not find.
void WarnOfCaseCollisions(const std::vector<UpdateFile>& files) {
    std::map<std::wstring, std::set<std::wstring>> spellings; // upper-cased relative path: its spellings
    for (const UpdateFile& file : files) {
        const std::wstring relative = Wide(file.relativePath);
        for (std::size_t end = relative.find(L'/');; end = relative.find(L'/', end + 1)) {
            const std::wstring part = relative.substr(0, end);
            spellings[ZEPMaintenance::ToUpper(part)].insert(part);
            if (end == std::wstring::npos) {
                break;
            }
        }
        if ((file.kind == FileKind::System || file.kind == FileKind::SystemCom) &&
            std::count(relative.begin(), relative.end(), L'/') > 1) {
            std::fprintf(
                stderr,
                "zcf manifest: warning: %s is in a sub-folder of a system folder and listed as %s; an "
                "update looks for it under that name at the system folder's top and refuses the "
                "update (143)\n",
                file.relativePath.c_str(), Utf8(file.manifestName).c_str());
        }
    }
    for (const auto& [key, names] : spellings) {
        if (names.size() > 1) {
            std::string list;
            for (const std::wstring& name : names) {
                list += (list.empty() ? "" : ", ") + Utf8(name);
            }
            std::fprintf(
                stderr,
                "zcf manifest: warning: %s are one name when letter case is ignored, as Windows and the "
                "update compare names; an update refuses a folder holding both (143)\n",
                list.c_str());
        }
    }
}

int Manifest(const Arguments& arguments) {
    std::optional<std::string> out, version, setupFolder, runAfter;
    std::vector<std::wstring> deletes;
    std::vector<RunFile> runFiles;
    std::map<std::wstring, std::wstring> setupArgs;
    const auto positional = ParseOptions(arguments,
                                         {"--out", "--version", "--setup-folder", "--setup-args",
                                          "--delete-file", "--run-file", "--args", "--run-after"},
                                         [&](const std::string& option, const std::string& value) {
                                             if (option == "--out") {
                                                 Single(out, option, value);
                                             } else if (option == "--version") {
                                                 Single(version, option, value);
                                             } else if (option == "--setup-folder") {
                                                 Single(setupFolder, option, value);
                                             } else if (option == "--run-after") {
                                                 Single(runAfter, option, value);
                                             } else if (option == "--delete-file") {
                                                 deletes.push_back(Wide(value));
                                             } else if (option == "--run-file") {
                                                 runFiles.push_back(RunFile{Wide(value), L""});
                                             } else if (option == "--args") {
                                                 if (runFiles.empty() || !runFiles.back().args.empty()) {
                                                     Usage("--args belongs right after a --run-file");
                                                 }
                                                 runFiles.back().args = Wide(value);
                                             } else {
                                                 const auto equals = value.find('=');
                                                 if (equals == std::string::npos || equals == 0) {
                                                     Usage("--setup-args takes NAME=ARGS");
                                                 }
                                                 setupArgs[Wide(value.substr(0, equals))] =
                                                     Wide(value.substr(equals + 1));
                                             }
                                         });
    if (positional.size() != 1) {
        Usage("manifest takes one update folder");
    }
    const std::string updateFolder = positional.front();
    if (!IsFolder(updateFolder)) {
        Fail(kExitInput, updateFolder + " is not a folder");
    }
    const std::wstring setup = setupFolder ? Wide(*setupFolder) : std::wstring();
    if (setupFolder && (setup.empty() || setup.find(L'\\') != std::wstring::npos ||
                        !IsFolder(updateFolder + "/" + *setupFolder))) {
        Fail(kExitInput, "the setup folder " + *setupFolder + " is not a folder directly in " + updateFolder);
    }

    // What the update would refuse is not written into a manifest: the update's own rules decide.
    for (const std::wstring& path : deletes) {
        const ZEPMaintenance::DeleteFilePath rule = ZEPMaintenance::CheckDeleteFilePath(path);
        if (rule != ZEPMaintenance::DeleteFilePath::Deletable) {
            Fail(kExitInput, "--delete-file \"" + Utf8(path) + "\" " + DeleteFileRefusal(rule) +
                                 "; an update would refuse it (152)");
        }
    }
    for (const ZEPMaintenance::DeleteConflict& conflict :
         ZEPMaintenance::FindDeleteConflicts(deletes, {}, false)) {
        Fail(kExitInput, "--delete-file \"" + Utf8(conflict.path) + "\" names the file of --delete-file \"" +
                             Utf8(conflict.earlier) + "\" again; an update would find it gone (152)");
    }
    if (runAfter && !ZEPMaintenance::IsInsideFolder(Wide(*runAfter))) {
        Fail(kExitInput, "--run-after \"" + *runAfter + "\" names nothing inside the product folder");
    }
    for (const RunFile& run : runFiles) {
        if (!ZEPMaintenance::IsPostUpgradeProgramPath(run.path)) {
            Fail(kExitInput,
                 "--run-file \"" + Utf8(run.path) +
                     "\" names nothing inside the product folder; an update would refuse it (142)");
        }
    }

    std::vector<std::string> problems;
    const std::vector<UpdateFile> files = ScanUpdateFolder(updateFolder, setup, problems);
    AddCodePageProblems(files, setup, problems);
    for (const std::string& problem : problems) {
        std::fprintf(stderr, "zcf: %s\n", problem.c_str());
    }
    if (!problems.empty()) {
        Fail(kExitInput, "the update folder holds what no manifest can name");
    }
    WarnOfCaseCollisions(files);

    std::vector<ManifestFileEntry> setupEntries, upgradeEntries, postEntries;
    for (const UpdateFile& file : files) {
        if (file.kind == FileKind::Setup) {
            const auto args = setupArgs.find(file.manifestName);
            setupEntries.push_back(
                Entry(file.manifestName, DigestsOf(file), args != setupArgs.end() ? args->second : L""));
            if (args != setupArgs.end()) {
                setupArgs.erase(args);
            }
        } else {
            upgradeEntries.push_back(Entry(file.manifestName, DigestsOf(file), L""));
        }
    }
    if (!setupArgs.empty()) {
        Fail(kExitInput, "--setup-args names " + Utf8(setupArgs.begin()->first) + ", which is no setup file");
    }
    for (const RunFile& run : runFiles) {
        postEntries.push_back(Entry(run.path, FileDigests(), run.args));
    }

    pugi::xml_document document;
    pugi::xml_node declaration = document.append_child(pugi::node_declaration);
    declaration.append_attribute(L"version") = L"1.0";
    declaration.append_attribute(L"encoding") = L"UTF-8";
    pugi::xml_node root = document.append_child(L"ZEP_UPGRADE");
    root.append_attribute(L"version") = (version ? Wide(*version) : std::wstring(L"1.0")).c_str();
    if (setupFolder) {
        AddText(root, L"SetupFolder", setup);
    }
    if (!deletes.empty()) {
        pugi::xml_node actions = root.append_child(L"PreUpgradeActions");
        for (const std::wstring& path : deletes) {
            AddText(actions, L"DeleteFile", path);
        }
    }
    if (!setupEntries.empty()) {
        pugi::xml_node list = root.append_child(L"SetupFiles");
        for (const ManifestFileEntry& entry : setupEntries) {
            pugi::xml_node element = AppendFile(list, entry);
            if (!entry.args.empty()) {
                element.append_attribute(L"args") = entry.args.c_str();
            }
            element.text().set(entry.fileName.c_str());
        }
    }
    if (!upgradeEntries.empty()) {
        pugi::xml_node list = root.append_child(L"UpgradeFiles");
        for (const ManifestFileEntry& entry : upgradeEntries) {
            pugi::xml_node element = AppendFile(list, entry);
            element.text().set(entry.fileName.c_str());
        }
    }
    if (!postEntries.empty()) {
        pugi::xml_node actions = root.append_child(L"PostUpgradeActions");
        for (const ManifestFileEntry& entry : postEntries) {
            pugi::xml_node element = actions.append_child(L"RunFile");
            if (!entry.args.empty()) {
                element.append_attribute(L"args") = entry.args.c_str();
            }
            element.text().set(entry.fileName.c_str());
        }
    }
    if (runAfter) {
        AddText(root, L"RunAfterUpgrade", Wide(*runAfter));
    }
    BufferWriter writer;
    document.save(writer, L"  ", pugi::format_default, pugi::encoding_utf8);

    // Read back with the program's reader: every name, hash and argument must come back as meant.
    ConfigFile reread;
    if (!reread.LoadBuffer(writer.out) || reread.GetSetupFolder() != setup ||
        !SameEntries(reread.GetSetupFiles(), setupEntries) ||
        !SameEntries(reread.GetUpgradeFiles(), upgradeEntries) ||
        !SameEntries(reread.GetPostUpgradeActions(), postEntries) ||
        reread.GetRunAfterUpgrade() != (runAfter ? Wide(*runAfter) : std::wstring()) ||
        reread.GetPreUpgradeActions().size() != deletes.size()) {
        Fail(kExitInput,
             "a name or argument cannot be carried by the manifest (white space alone, or a line break)");
    }
    for (std::size_t i = 0; i < deletes.size(); ++i) {
        if (static_cast<ZEPMaintenance::DeleteFileAction&>(*reread.GetPreUpgradeActions()[i]).GetFilePath() !=
            deletes[i]) {
            Fail(kExitInput, "the delete path " + Utf8(deletes[i]) + " cannot be carried by the manifest");
        }
    }
    // A post-upgrade program runs only as an upgrade file or a setup file of this update.
    for (const RunFile& run : runFiles) {
        FileDigests digests;
        bool found = false;
        for (const UpdateFile& file : files) {
            const std::wstring name =
                file.kind == FileKind::Setup ? setup + L"\\" + file.manifestName : file.manifestName;
            if ((file.kind == FileKind::Product || file.kind == FileKind::Setup) &&
                ZEPMaintenance::ToUpper(name) == ZEPMaintenance::ToUpper(run.path)) {
                digests = DigestsOf(file);
                found = true;
                break;
            }
        }
        if (!found || !reread.CheckPostUpgradeAction(run.path, digests)) {
            Fail(kExitInput, "--run-file " + Utf8(run.path) +
                                 " is neither an upgrade file nor a setup file of this update");
        }
        const bool sameCase = std::any_of(files.begin(), files.end(), [&](const UpdateFile& file) {
            return (file.kind == FileKind::Product || file.kind == FileKind::Setup) &&
                   ProductName(file, setup) == run.path;
        });
        if (!sameCase) {
            std::fprintf(
                stderr,
                "zcf manifest: warning: --run-file %s differs in letter case from the file it names; "
                "an update on Linux, which compares names with their case, does not find it\n",
                Utf8(run.path).c_str());
        }
    }
    if (out) {
        Publish(WriteTemporaryBeside(*out, writer.out), *out);
    } else {
        std::fwrite(writer.out.data(), 1, writer.out.size(), stdout);
    }
    return 0;
}

// ---- sign, verify, inspect ----------------------------------------------------------------------

const char kSignHelp[] =
    R"(zcf sign --key PRIVATE.pem --in MANIFEST.xml --out zep_upgrade.xml.zcf [--key-file F]
         [--pass-file F | --pass-env NAME]

Signs the manifest XML (RSA PKCS#1 v1.5 over SHA-256) into a container whose key id is that of
the key's public half. The XML must be one the program accepts. With --key-file, the key must be
the one that key file names (the key a build trusts). The container is written beside its target,
read back and verified with the program's own reader, and only then put in place.
  --pass-file F        the pass phrase of an encrypted key: the first line of file F
  --pass-env NAME      the pass phrase of an encrypted key: the environment variable NAME
  --rejected-xml yes   sign XML the program rejects (test fixtures only); the signature is still checked
An encrypted key (PKCS#8 "ENCRYPTED PRIVATE KEY", or the traditional "Proc-Type: 4,ENCRYPTED") needs
one of the two; a pass phrase is never taken from the command line, where other users see it. A pass
phrase that does not decrypt the key is reported as a wrong pass phrase, apart from a malformed key;
both exit 3.
)";

const char kVerifyHelp[] = R"(zcf verify --key-file F CONTAINER

Makes exactly the program's checks of a container with the key of key file F (as if a build had
been given F): reads it, compares the key id, verifies the signature, reads the XML. Prints the
error number the program would get (the same numbers on Linux and Windows); exit 1 when rejected, 3
when CONTAINER or F is missing.
)";

// The three steps of ConfigFile::LoadZCFFile, each one's result reported.
struct Verified {
    bool ok = false;
    std::string failure;
};

Verified VerifyContainer(const std::string& path, const SigningKey& key, ConfigFile& manifest,
                         SignedManifestFile& image) {
    uint32_t code = image.LoadFile(Wide(path).c_str());
    if (code != 0) {
        return {false, "LoadFile failed: " + DescribeCode(code)};
    }
    code = image.VerifySignature(key);
    if (code != 0) {
        return {false, "VerifySignature failed: " + DescribeCode(code)};
    }
    try {
        if (!manifest.LoadBuffer(
                std::vector<uint8_t>(image.GetData(), image.GetData() + image.GetDataLength()))) {
            return {false, "the manifest XML is rejected"};
        }
    } catch (const IMException& e) {
        return {false, "the manifest XML is rejected: code " + std::to_string(e.GetErrorNumber()) + ", " +
                           Utf8(e.GetErrorMessage())};
    }
    return {true, ""};
}

int Sign(const Arguments& arguments) {
    std::optional<std::string> keyPath, in, out, keyFile, rejectedXml, passFile, passEnv;
    const auto positional = ParseOptions(
        arguments,
        {"--key", "--in", "--out", "--key-file", "--rejected-xml", "--pass-file", "--pass-env", "--pass"},
        [&](const std::string& option, const std::string& value) {
            if (option == "--pass") {
                Usage("a pass phrase is never taken from the command line: use --pass-file or --pass-env");
            }
            Single(option == "--key"            ? keyPath
                   : option == "--in"           ? in
                   : option == "--out"          ? out
                   : option == "--rejected-xml" ? rejectedXml
                   : option == "--pass-file"    ? passFile
                   : option == "--pass-env"     ? passEnv
                                                : keyFile,
                   option, value);
        });
    if (rejectedXml && *rejectedXml != "yes") {
        Usage("--rejected-xml takes yes");
    }
    if (!positional.empty()) {
        Usage("sign takes its files as options");
    }
    const std::string privatePath = Required(keyPath, "--key");
    const std::string inPath = Required(in, "--in");
    const std::string outPath = Required(out, "--out");
    const std::vector<uint8_t> xml = ReadWholeFile(inPath);
    if (!rejectedXml) {
        ConfigFile check;
        bool accepted = false;
        try {
            accepted = check.LoadBuffer(xml);
        } catch (const IMException&) {
            accepted = false;
        }
        if (!accepted) {
            Fail(kExitInput, inPath + " is not a manifest the program accepts");
        }
    }
    PrivateKey key;
    PrivateKey::Load(privatePath,
                     ReadPassPhrase(passFile ? &*passFile : nullptr, passEnv ? &*passEnv : nullptr), key);
    const SigningKey publicKey = key.Public();
    if (keyFile && ReadKeyFile(*keyFile).keyId != publicKey.keyId) {
        Fail(kExitInput, privatePath + " is not the key that " + *keyFile + " names");
    }
    const std::vector<uint8_t> container = BuildContainer(publicKey.keyId, key.Sign(xml), xml);
    const std::string temporary = WriteTemporaryBeside(outPath, container);
    ConfigFile manifest;
    SignedManifestFile image;
    const Verified verified = VerifyContainer(temporary, publicKey, manifest, image);
    const bool signatureHolds =
        verified.ok || (rejectedXml && verified.failure.rfind("the manifest XML", 0) == 0);
    if (!signatureHolds) {
        std::remove(temporary.c_str());
        Fail(kExitInput, "the written container does not verify (" + verified.failure + "); nothing written");
    }
    Publish(temporary, outPath);
    std::printf("signed %s: key id %s, %zu bytes of manifest\n", outPath.c_str(), publicKey.keyId.c_str(),
                xml.size());
    return 0;
}

int Verify(const Arguments& arguments) {
    std::optional<std::string> keyFile;
    const auto positional =
        ParseOptions(arguments, {"--key-file"}, [&](const std::string& option, const std::string& value) {
            Single(keyFile, option, value);
        });
    if (positional.size() != 1) {
        Usage("verify takes one container");
    }
    const SigningKey key = ReadKeyFile(Required(keyFile, "--key-file"));
    RequireInput(positional.front());
    ConfigFile manifest;
    SignedManifestFile image;
    const Verified verified = VerifyContainer(positional.front(), key, manifest, image);
    if (!verified.ok) {
        std::printf("rejected: %s\n", verified.failure.c_str());
        return kExitRejected;
    }
    std::printf("verified: key id %s, %u bytes of manifest, version %s\n", key.keyId.c_str(),
                image.GetDataLength(), Utf8(manifest.GetVersion()).c_str());
    return 0;
}

int Inspect(const Arguments& arguments) {
    const auto positional = ParseOptions(arguments, {}, [](const std::string&, const std::string&) {});
    if (positional.size() != 1) {
        Usage("inspect takes one container");
    }
    return InspectContainer(positional.front());
}

// ---- check --------------------------------------------------------------------------------------

const char kCheckHelp[] = R"(zcf check DATA-FOLDER --key-file F [--product-folder DIR]

A dry run of what an update of DATA-FOLDER would accept, with the key of key file F, made with the
update's own code wherever the update decides from the data folder alone:
  - update/zep_upgrade.xml.zcf read, key id and signature verified, its XML accepted;
  - the update folder as the update checks it before anything changes: no link or special file, no
    name a manifest cannot carry, no two names in one folder that Windows takes for one, every file
    outside the system folders listed by name, every listed file there;
  - every file of the update folder listed with its hash (and its SHA-256 where the manifest gives
    one), under the name the update checks;
  - update/._ZEP_UPGRADE_delete read as the update reads it (code page 852 lines, files up to the
    first empty line, folders after it, a last line without a line break not taken), every line
    inside the product folder (no root, drive, stream, "..", component of dots and blanks, nor the
    folder itself) and every file line naming a file; empty folder lines are dropped with a warning;
  - every DeleteFile not empty, inside the product folder and naming a file;
  - the deletes together: none finds its object taken by an earlier one (a DeleteFile twice, a
    listed file a DeleteFile took in another spelling or listed twice, a folder inside one deleted
    before it); what only Windows, ignoring letter case, takes for one object is a warning;
  - every post-upgrade program inside the product folder, an upgrade or setup file of this update
    with its hash, and named in the letter case the file has: Linux finds it only so;
  - the run-after program, with a warning when it is outside the product folder (an update hands it
    to the dialog unchecked).
With --product-folder DIR, the installed product the update would change (not changed by the check):
  - no delete's way crosses a link in DIR, as the update looks before deleting anything;
  - every DeleteFile names a file of DIR, every file line of the delete list that no DeleteFile takes
    off it a file, every folder line a folder.
Prints one line per file and one "problem:" line per problem. Exit 0 when the update would pass, 1 when
it would refuse, 3 when DATA-FOLDER, F or DIR is missing. Not checked: the installed version, the free
space, system files' versions and the programs' exit codes, and without --product-folder all that
depends on the installed product. System files are all required to be listed, although an update skips
those not newer than the installed ones.
)";

const char* KindName(FileKind kind) {
    switch (kind) {
    case FileKind::System:
        return "system";
    case FileKind::SystemCom:
        return "system-com";
    case FileKind::Setup:
        return "setup";
    default:
        return "product";
    }
}

class Report {
public:
    void Problem(const std::string& text) {
        std::printf("problem: %s\n", text.c_str());
        ++problems_;
    }
    void Line(const std::string& text) { std::printf("%s\n", text.c_str()); }
    int Finish() {
        if (problems_ == 0) {
            Line("result: the update would pass");
            return 0;
        }
        Line("result: " + std::to_string(problems_) + (problems_ == 1 ? " problem" : " problems"));
        return kExitRejected;
    }

private:
    int problems_ = 0;
};

template <class Entries> bool ListsName(const Entries& entries, const std::wstring& name) {
    const std::wstring upper = ZEPMaintenance::ToUpper(name);
    for (const ManifestFileEntry& entry : entries) {
        if (ZEPMaintenance::ToUpper(entry.fileName) == upper) {
            return true;
        }
    }
    return false;
}

void CheckFiles(const ConfigFile& manifest, const std::vector<UpdateFile>& files, Report& report) {
    const std::vector<ManifestFileEntry>& setupEntries = manifest.GetSetupFiles();
    const auto& upgradeEntries = manifest.GetUpgradeFiles();
    for (const UpdateFile& file : files) {
        const FileDigests digests = DigestsOf(file);
        const bool setup = file.kind == FileKind::Setup;
        const bool listed = setup ? manifest.FindSetupFile(file.manifestName, digests) != nullptr
                                  : manifest.CheckUpgradeFile(file.manifestName, digests);
        const std::string name = Utf8(file.manifestName);
        report.Line(std::string("file: ") + KindName(file.kind) + " " + name + " " + file.hash + " " +
                    file.sha256 + (listed ? " listed" : ""));
        if (listed) {
            continue;
        }
        if (setup ? ListsName(setupEntries, file.manifestName)
                  : ListsName(upgradeEntries, file.manifestName)) {
            report.Problem("changed file: " + name + " (" + file.path + ") has SHA-1 " + file.hash +
                           " and SHA-256 " + file.sha256 + ", the manifest lists it with another hash");
        } else {
            report.Problem(std::string("unlisted file: ") + name + " (" + file.path +
                           ") is not in the manifest's " + (setup ? "setup files" : "upgrade files"));
        }
    }
    // Listed files that the update folder lacks: a name present with another hash was reported above.
    std::unordered_set<std::wstring> presentNames[2]; // [setup]: the folder's names, upper-cased
    for (const UpdateFile& file : files) {
        presentNames[file.kind == FileKind::Setup ? 1 : 0].insert(ZEPMaintenance::ToUpper(file.manifestName));
    }
    const auto present = [&](const ManifestFileEntry& entry, bool setup) {
        return presentNames[setup ? 1 : 0].contains(ZEPMaintenance::ToUpper(entry.fileName));
    };
    for (const ManifestFileEntry& entry : upgradeEntries) {
        if (!present(entry, false)) {
            report.Problem("missing file: " + Utf8(entry.fileName) +
                           " is listed in the manifest but not in the update folder");
        }
    }
    for (const ManifestFileEntry& entry : setupEntries) {
        if (!present(entry, true)) {
            report.Problem("missing setup file: " + Utf8(entry.fileName) +
                           " is listed in the manifest but not in the setup folder");
        }
    }
}

// The delete list through the update's own reading and rule (ReadDeleteListText, SplitDeleteList,
// CheckDeleteListLines), each line checked on its own so that every refused line is named.
// The lines that pass go to taken, for the check of all deletes together.
void CheckDeleteList(const std::string& path, Report& report, ZEPMaintenance::DeleteListLines& taken) {
    const ZEPMaintenance::DeleteListText read = ZEPMaintenance::ReadDeleteListText(Wide(path));
    if (read.readError != 0) {
        report.Problem("delete list: cannot read " + path + ": " + DescribeCode(read.readError) +
                       " (an update fails with 141)");
        return;
    }
    if (!read.decoded) {
        report.Problem("delete list: " + path + " is not code page 852 text (an update fails with 141)");
        return;
    }
    const ZEPMaintenance::DeleteListLines lines = ZEPMaintenance::SplitDeleteList(read.text);
    for (const std::wstring& file : lines.files) {
        report.Line("delete file: " + Utf8(file));
        if (ZEPMaintenance::CheckDeleteListLines({{file}, {}}).refusal != 0) {
            report.Problem("delete list: the file line \"" + Utf8(file) +
                           "\" names nothing inside the product folder (an update refuses it: 131)");
        } else if (const int32_t failure = ZEPMaintenance::DeleteListFileFailure(file); failure != 0) {
            report.Problem("delete list: the file line \"" + Utf8(file) +
                           "\" names no file (an update fails deleting it: " + std::to_string(failure) + ")");
        } else {
            taken.files.push_back(file);
        }
    }
    std::size_t emptyLines = 0;
    for (const std::wstring& folder : lines.folders) {
        const ZEPMaintenance::CheckedDeleteList checked =
            ZEPMaintenance::CheckDeleteListLines({{}, {folder}});
        if (checked.emptyFolderLines != 0) {
            ++emptyLines;
            continue;
        }
        report.Line("delete folder: " + Utf8(folder));
        if (checked.refusal != 0) {
            report.Problem("delete list: the folder line \"" + Utf8(folder) +
                           "\" names nothing inside the product folder (an update refuses it: 133)");
        } else {
            taken.folders.push_back(folder);
        }
    }
    if (emptyLines != 0) {
        report.Line("warning: the delete list has " + std::to_string(emptyLines) +
                    " empty folder line(s), which name no folder; an update drops them with a warning");
    }
    const std::size_t lastBreak = read.text.rfind(L'\n');
    const std::wstring tail = lastBreak == std::wstring::npos ? read.text : read.text.substr(lastBreak + 1);
    if (!tail.empty()) {
        report.Line("warning: the delete list's last line \"" + Utf8(tail) +
                    "\" has no line break and is not taken");
    }
}

// The pre-upgrade deletes and the delete list's lines that pass their own rules, as the update runs them one
// after the other: a delete whose object an earlier one took fails there (Linux resolves names exactly);
// what only Windows, ignoring letter case, takes for one object is a warning.
void CheckDeletesTogether(const std::vector<std::wstring>& actions,
                          const ZEPMaintenance::DeleteListLines& lines, Report& report) {
    const auto conflicts = ZEPMaintenance::FindDeleteConflicts(actions, lines, false);
    for (const ZEPMaintenance::DeleteConflict& conflict : conflicts) {
        report.Problem("deletes: \"" + Utf8(conflict.path) + "\" names what \"" + Utf8(conflict.earlier) +
                       "\" deletes before it (an update finds it gone and fails: " +
                       std::to_string(conflict.code) + ")");
    }
    for (const ZEPMaintenance::DeleteConflict& conflict :
         ZEPMaintenance::FindDeleteConflicts(actions, lines, true)) {
        const bool onLinuxToo = std::any_of(conflicts.begin(), conflicts.end(), [&](const auto& known) {
            return known.path == conflict.path && known.earlier == conflict.earlier;
        });
        if (!onLinuxToo) {
            report.Line("warning: deletes: on Windows, which ignores letter case, \"" + Utf8(conflict.path) +
                        "\" names what \"" + Utf8(conflict.earlier) +
                        "\" deletes before it (an update there fails: " + std::to_string(conflict.code) +
                        ")");
        }
    }
}

void CheckActions(ConfigFile& manifest, const std::vector<UpdateFile>& files, Report& report,
                  std::vector<std::wstring>& deletable) {
    for (const auto& action : manifest.GetPreUpgradeActions()) {
        const std::wstring& path =
            static_cast<const ZEPMaintenance::DeleteFileAction&>(*action).GetFilePath();
        report.Line("pre-upgrade delete: " + Utf8(path));
        const ZEPMaintenance::DeleteFilePath rule = ZEPMaintenance::CheckDeleteFilePath(path);
        if (rule != ZEPMaintenance::DeleteFilePath::Deletable) {
            report.Problem("pre-upgrade delete: \"" + Utf8(path) + "\" " + DeleteFileRefusal(rule) +
                           " (an update refuses it: 152)");
        } else {
            deletable.push_back(path);
        }
    }
    const std::wstring setupFolder = manifest.GetSetupFolder();
    for (const ManifestFileEntry& entry : manifest.GetPostUpgradeActions()) {
        const std::string name = Utf8(entry.fileName);
        if (!ZEPMaintenance::IsPostUpgradeProgramPath(entry.fileName)) {
            report.Problem("post-upgrade program: " + name +
                           " names nothing inside the product folder (an update refuses it: 142)");
            continue;
        }
        // The update reads the program where it copied it: on Linux under exactly that name, since the
        // file system compares names with their letter case.
        const UpdateFile* exact = nullptr;
        const UpdateFile* otherCase = nullptr;
        for (const UpdateFile& file : files) {
            if (file.kind != FileKind::Product && file.kind != FileKind::Setup) {
                continue;
            }
            const std::wstring productName = ProductName(file, setupFolder);
            if (productName == entry.fileName) {
                exact = &file;
                break;
            }
            if (otherCase == nullptr &&
                ZEPMaintenance::ToUpper(productName) == ZEPMaintenance::ToUpper(entry.fileName)) {
                otherCase = &file;
            }
        }
        if (exact == nullptr && otherCase != nullptr) {
            report.Problem("post-upgrade program: " + name + " is copied as " +
                           Utf8(ProductName(*otherCase, setupFolder)) +
                           "; Linux compares names with their letter case, so an update does not find it "
                           "(Windows would)");
            continue;
        }
        if (exact == nullptr) {
            report.Problem("post-upgrade program: " + name +
                           " is neither an upgrade file nor a setup file of this update");
            continue;
        }
        const FileDigests digests = DigestsOf(*exact);
        if (!manifest.CheckPostUpgradeAction(entry.fileName, digests)) {
            report.Problem("post-upgrade program: " + name + " (SHA-1 " + digests.sha1.ToString() +
                           ", SHA-256 " + digests.sha256.ToString() + ") is not allowed by the manifest");
        } else {
            report.Line("post-upgrade program: " + name + " allowed");
        }
    }
    const std::wstring runAfter = manifest.GetRunAfterUpgrade();
    if (!runAfter.empty()) {
        report.Line("run after upgrade: " + Utf8(runAfter));
        if (!ZEPMaintenance::IsInsideFolder(runAfter)) {
            report.Line("warning: the program to start afterwards names nothing inside the product folder; "
                        "an update hands it to the dialog as it is");
        }
    }
}

// The update's own check of the update folder before anything changes (CheckUpdateFolder): links and
// special files, names no manifest can carry, two names one for Windows, unlisted and missing files.
void CheckUpdateFolderAsTheUpdate(const std::string& dataFolder, const ConfigFile& manifest, Report& report) {
    ZEPMaintenance::Directory data;
    data.SetFullPath(Wide(std::filesystem::absolute(dataFolder).lexically_normal().string() + "/"));
    // No product folder is read: the check is of the update folder alone.
    const ZEPMaintenance::EngineLayout layout(data, data);
    const ZEPMaintenance::Logger logger{L"CopyNewFiles"};
    std::vector<std::string> lines;
    capturedErrors = &lines;
    try {
        ZEPMaintenance::upgrade::CheckUpdateFolder(layout, manifest, logger);
        capturedErrors = nullptr;
    } catch (const IMException& e) {
        capturedErrors = nullptr;
        report.Problem("update folder: " + (lines.empty() ? std::string("refused") : lines.back()) +
                       " (an update refuses it: " + std::to_string(e.GetErrorNumber()) + ")");
    }
}

// With the installed product at hand, what the deletes find there, looked at as the update looks: no way
// through a link (FindLinkOnTheWay, platform::CrossesLink), and what each delete names present.
void CheckDeletesInProduct(const std::string& productFolder, const std::vector<std::wstring>& actions,
                           const ZEPMaintenance::DeleteListLines& lines, Report& report) {
    const std::wstring product = Wide(productFolder + "/");
    for (const std::wstring& path : actions) {
        bool crosses = false;
        const uint32_t error =
            ZEPMaintenance::platform::CrossesLink(product, ZEPMaintenance::ToPlatformPath(path), crosses);
        if (error != 0 || crosses) {
            report.Problem("pre-upgrade delete: the way to \"" + Utf8(path) +
                           "\" crosses a link in the product folder (an update refuses it: 152)");
        } else if (!ZEPMaintenance::platform::CanOpenForReading(product +
                                                                ZEPMaintenance::ToPlatformPath(path))) {
            report.Problem("pre-upgrade delete: \"" + Utf8(path) +
                           "\" is not a file of the product folder (an update refuses it: 152)");
        }
    }
    for (const std::wstring& file : lines.files) {
        if (ZEPMaintenance::FindLinkOnTheWay(product, {{file}, {}}).code != 0) {
            report.Problem("delete list: the way to \"" + Utf8(file) +
                           "\" crosses a link in the product folder (an update refuses it: 131)");
        }
    }
    for (const std::wstring& folder : lines.folders) {
        if (ZEPMaintenance::FindLinkOnTheWay(product, {{}, {folder}}).code != 0) {
            report.Problem("delete list: the way to \"" + Utf8(folder) +
                           "\" crosses a link in the product folder (an update refuses it: 133)");
        } else if (!IsFolder(productFolder + "/" + Utf8(ZEPMaintenance::ToPlatformPath(folder)))) {
            report.Problem("delete list: the folder \"" + Utf8(folder) +
                           "\" is not a folder of the product folder (an update fails deleting it: 133)");
        }
    }
    // A file the pre-upgrade deletes take off the list is theirs to find.
    for (const std::wstring& file : ZEPMaintenance::FilesLeftAfterActions(actions, lines.files)) {
        struct stat info {};
        const std::string path = productFolder + "/" + Utf8(ZEPMaintenance::ToPlatformPath(file));
        if (lstat(path.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) {
            report.Problem("delete list: \"" + Utf8(file) +
                           "\" is not a file of the product folder (an update fails deleting it: 131)");
        }
    }
}

int Check(const Arguments& arguments) {
    std::optional<std::string> keyFile, productFolder;
    const auto positional =
        ParseOptions(arguments, {"--key-file", "--product-folder"},
                     [&](const std::string& option, const std::string& value) {
                         Single(option == "--key-file" ? keyFile : productFolder, option, value);
                     });
    if (positional.size() != 1) {
        Usage("check takes one data folder");
    }
    const SigningKey key = ReadKeyFile(Required(keyFile, "--key-file"));
    const std::string dataFolder = positional.front();
    if (!IsFolder(dataFolder)) {
        Fail(kExitInput, dataFolder + " is not a folder");
    }
    if (productFolder && !IsFolder(*productFolder)) {
        Fail(kExitInput, *productFolder + " is not a folder");
    }
    Report report;
    const std::string updateFolder = dataFolder + "/update";
    if (!IsFolder(updateFolder)) {
        report.Problem("the data folder has no update folder");
        return report.Finish();
    }
    ConfigFile manifest;
    SignedManifestFile image;
    const Verified verified = VerifyContainer(updateFolder + "/zep_upgrade.xml.zcf", key, manifest, image);
    if (verified.ok) {
        report.Line("container: verified with key id " + key.keyId);
    } else {
        report.Problem("container: " + verified.failure);
    }
    std::vector<std::string> scanProblems;
    const std::vector<UpdateFile> files =
        ScanUpdateFolder(updateFolder, manifest.GetSetupFolder(), scanProblems, NamesFor::TheUpdate);
    for (const std::string& problem : scanProblems) {
        report.Problem(problem);
    }
    std::vector<std::wstring> deletes;
    if (verified.ok) {
        CheckUpdateFolderAsTheUpdate(dataFolder, manifest, report);
        CheckFiles(manifest, files, report);
        CheckActions(manifest, files, report, deletes);
    }
    ZEPMaintenance::DeleteListLines lines;
    CheckDeleteList(updateFolder + "/._ZEP_UPGRADE_delete", report, lines);
    CheckDeletesTogether(deletes, lines, report);
    if (productFolder) {
        CheckDeletesInProduct(*productFolder, deletes, lines, report);
    }
    return report.Finish();
}

// ---- diff ---------------------------------------------------------------------------------------

int DiffTrees(const Arguments& arguments) {
    std::optional<std::string> out;
    const auto positional = ParseOptions(
        arguments, {"--out"}, [&](const std::string& o, const std::string& v) { Single(out, o, v); });
    if (positional.size() != 2) {
        Usage("diff takes the old and the new release tree");
    }
    return Diff(positional[0], positional[1], Required(out, "--out"));
}

// ---- entry --------------------------------------------------------------------------------------

const char kHelp[] = R"(zcf: the release tool of ZEPMaintenance's signed upgrade manifest

  zcf keygen --out DIR                       make a signing key pair and its key file
  zcf diff OLD NEW --out UPDATE              make the update folder between two release trees
  zcf manifest UPDATE-FOLDER [options]       write the manifest XML of an update folder
  zcf sign --key K --in XML --out CONTAINER  sign a manifest into zep_upgrade.xml.zcf
  zcf verify --key-file F CONTAINER          the program's checks of a container
  zcf inspect CONTAINER                      print a container's fields
  zcf check DATA-FOLDER --key-file F         a dry run of an update of a data folder
            [--product-folder DIR]           (and of the installed product's deletes)

"zcf COMMAND --help" tells more. Exit codes: 0 done, 1 rejected (a container or data folder an update
would refuse), 2 bad command line, 3 bad input (an input file, folder or key file missing, unreadable
or malformed; a manifest option an update would refuse; an output not written).
)";

struct Command {
    const char* name;
    int (*run)(const Arguments&);
    const char* help;
};

const Command kCommands[] = {
    {"keygen", Keygen, kKeygenHelp}, {"diff", DiffTrees, kDiffHelp},  {"manifest", Manifest, kManifestHelp},
    {"sign", Sign, kSignHelp},       {"verify", Verify, kVerifyHelp}, {"inspect", Inspect, kInspectHelp},
    {"check", Check, kCheckHelp},
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 ||
        std::strcmp(argv[1], "help") == 0) {
        std::fputs(kHelp, argc < 2 ? stderr : stdout);
        return argc < 2 ? kExitUsage : 0;
    }
    for (const Command& command : kCommands) {
        if (std::strcmp(argv[1], command.name) != 0) {
            continue;
        }
        const Arguments arguments(argc, argv, 2);
        if (arguments.WantsHelp()) {
            std::fputs(command.help, stdout);
            return 0;
        }
        try {
            InstallErrorLog();
            Sha1Hash::Initialize();
            const int status = command.run(arguments);
            std::fflush(stdout);
            return status;
        } catch (const ToolError& error) {
            std::fflush(stdout);
            std::fprintf(stderr, "zcf %s: %s\n", command.name, error.message.c_str());
            return error.exitCode;
        } catch (const IMException& e) {
            std::fflush(stdout);
            std::fprintf(stderr, "zcf %s: failed with code %d\n", command.name, e.GetErrorNumber());
            return kExitInput;
        }
    }
    std::fprintf(stderr, "zcf: unknown command %s (zcf --help)\n", argv[1]);
    return kExitUsage;
}
