// zcf: the release tool of the signed upgrade manifest. Makes key pairs, writes a manifest from an
// update folder, signs and verifies containers with the program's own reader, and checks a data
// folder the way an update would. Exit codes: 0 done, 1 rejected, 2 bad command line, 3 bad input.
#include "UpdateFolder.h"
#include "ZcfKeys.h"

#include "diag/IMException.h"
#include "diag/Log.h"
#include "system/Sha256Hash.h"
#include "system/Text.h"
#include "system/posix/PosixSupport.h"
#include "upgrade/ConfigFile.h"
#include "upgrade/SignedManifestFile.h"

#include <algorithm>
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
void WriteError(ZEPMaintenance::LogHandleRef handle, const wchar_t* message) {
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

bool IsFolder(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// ---- keygen -------------------------------------------------------------------------------------

const char kKeygenHelp[] = R"(zcf keygen --out DIR

Makes an RSA-2048 signing pair in DIR (created when missing; existing files are never replaced):
  DIR/signing-private.pem  the private key (mode 0600): keep it off build machines
  DIR/signing.key          the key file a build takes (-DZEP_SIGNING_KEY_FILE=DIR/signing.key)
Prints the key id (upper-case hex SHA-1 of the 276-byte public-key blob) and the blob in Base64.
)";

int Keygen(const Arguments& arguments) {
    std::optional<std::string> out;
    const auto positional = ParseOptions(
        arguments, {"--out"}, [&](const std::string& o, const std::string& v) { Single(out, o, v); });
    if (!positional.empty()) {
        Usage("keygen takes no file argument");
    }
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
    key.SavePem(privatePath);
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

    std::vector<std::string> problems;
    const std::vector<UpdateFile> files = ScanUpdateFolder(updateFolder, setup, problems);
    for (const std::string& problem : problems) {
        std::fprintf(stderr, "zcf: %s\n", problem.c_str());
    }
    if (!problems.empty()) {
        Fail(kExitInput, "the update folder holds what no manifest can name");
    }

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

Signs the manifest XML (RSA PKCS#1 v1.5 over SHA-256) into a container whose key id is that of
the key's public half. The XML must be one the program accepts. With --key-file, the key must be
the one that key file names (the key a build trusts). The container is written beside its target,
read back and verified with the program's own reader, and only then put in place.
  --rejected-xml yes   sign XML the program rejects (test fixtures only); the signature is still checked
)";

const char kVerifyHelp[] = R"(zcf verify --key-file F CONTAINER

Makes exactly the program's checks of a container with the key of key file F (as if a build had
been given F): reads it, compares the key id, verifies the signature, reads the XML. Prints the
error number the program would get (the same numbers on Linux and Windows); exit 1 when rejected.
)";

const char kInspectHelp[] = R"(zcf inspect CONTAINER

Prints a container's header fields, key id, signature length and signature, and the XML, without
verifying anything.
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
    std::optional<std::string> keyPath, in, out, keyFile, rejectedXml;
    const auto positional =
        ParseOptions(arguments, {"--key", "--in", "--out", "--key-file", "--rejected-xml"},
                     [&](const std::string& option, const std::string& value) {
                         Single(option == "--key"            ? keyPath
                                : option == "--in"           ? in
                                : option == "--out"          ? out
                                : option == "--rejected-xml" ? rejectedXml
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
    PrivateKey::Load(privatePath, key);
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

std::string Hex(const uint8_t* bytes, std::size_t size) {
    std::string text;
    char pair[3];
    for (std::size_t i = 0; i < size; ++i) {
        std::snprintf(pair, sizeof pair, "%02X", bytes[i]);
        text += pair;
    }
    return text;
}

std::string Printable(const uint8_t* bytes, std::size_t size) {
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        text += bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.';
    }
    return text;
}

int Inspect(const Arguments& arguments) {
    const auto positional = ParseOptions(arguments, {}, [](const std::string&, const std::string&) {});
    if (positional.size() != 1) {
        Usage("inspect takes one container");
    }
    SignedManifestFile image;
    const uint32_t code = image.LoadFile(Wide(positional.front()).c_str());
    if (code != 0) {
        std::printf("unreadable: LoadFile failed: %s\n", DescribeCode(code).c_str());
        return kExitInput;
    }
    // The reader keeps the signature least significant byte first; the file holds it the other way.
    std::vector<uint8_t> signature(image.GetSignature(), image.GetSignature() + image.GetSignatureLength());
    std::reverse(signature.begin(), signature.end());
    std::printf("magic:            %s\n",
                Printable(image.GetMagic(), SignedManifestFile::kMagicSize).c_str());
    std::printf("reserved:         %s\n",
                Hex(image.GetReserved(), SignedManifestFile::kReservedSize).c_str());
    std::printf("key id:           %s\n",
                Printable(image.GetKeyId(), SignedManifestFile::kKeyIdSize).c_str());
    std::printf("signature length: %u\n", image.GetSignatureLength());
    std::printf("signature:        %s\n", Hex(signature.data(), signature.size()).c_str());
    std::printf("data length:      %u\n", image.GetDataLength());
    std::printf("data:\n");
    std::fwrite(image.GetData(), 1, image.GetDataLength(), stdout);
    if (image.GetDataLength() != 0 && image.GetData()[image.GetDataLength() - 1] != '\n') {
        std::printf("\n");
    }
    return 0;
}

// ---- check --------------------------------------------------------------------------------------

const char kCheckHelp[] = R"(zcf check DATA-FOLDER --key-file F

A dry run of what an update of DATA-FOLDER would accept, with the key of key file F:
  - update/zep_upgrade.xml.zcf read, key id and signature verified, its XML accepted;
  - every file of the update folder listed with its hash (and its SHA-256 where the manifest gives
    one), under the name the update checks;
  - every file the manifest lists present in the update folder with that hash;
  - update/._ZEP_UPGRADE_delete present and readable in its format (code page 852 lines, files up
    to the first empty line, folders after it; no path leaving the product folder);
  - every post-upgrade program allowed: an upgrade file or a setup file of this update.
Prints one line per file and one "problem:" line per problem; exit 0 only when the update would pass.
System files are all required to be listed, although an update skips those not newer than the
installed ones.
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

void CheckDeleteList(const std::string& path, Report& report) {
    std::vector<uint8_t> bytes;
    try {
        bytes = ReadWholeFile(path);
    } catch (const ToolError& error) {
        report.Problem("delete list: " + error.message);
        return;
    }
    const DeleteList list = ParseDeleteList(bytes);
    for (const std::wstring& file : list.files) {
        report.Line("delete file: " + Utf8(file));
        if (LeavesProductFolder(file)) {
            report.Problem("delete list: the file " + Utf8(file) + " is outside the product folder");
        }
    }
    for (const std::wstring& folder : list.folders) {
        report.Line("delete folder: " + Utf8(folder));
        if (folder.empty()) {
            report.Problem("delete list: an empty folder line names the product folder itself");
        } else if (LeavesProductFolder(folder)) {
            report.Problem("delete list: the folder " + Utf8(folder) + " is outside the product folder");
        }
    }
    if (list.hasIgnoredLastLine && !list.ignoredLastLine.empty()) {
        report.Line("warning: the delete list's last line \"" + Utf8(list.ignoredLastLine) +
                    "\" has no line break and is not taken");
    }
}

void CheckActions(ConfigFile& manifest, const std::vector<UpdateFile>& files, Report& report) {
    for (const auto& action : manifest.GetPreUpgradeActions()) {
        const std::wstring& path =
            static_cast<const ZEPMaintenance::DeleteFileAction&>(*action).GetFilePath();
        report.Line("pre-upgrade delete: " + Utf8(path));
        if (path.empty() || LeavesProductFolder(path)) {
            report.Problem("pre-upgrade delete: \"" + Utf8(path) +
                           "\" names no file inside the product folder");
        }
    }
    const std::wstring setupFolder = manifest.GetSetupFolder();
    for (const ManifestFileEntry& entry : manifest.GetPostUpgradeActions()) {
        // The hash the program will have in the product folder once the update has copied it.
        std::optional<FileDigests> digests;
        for (const UpdateFile& file : files) {
            const std::wstring productName =
                file.kind == FileKind::Setup ? setupFolder + L"\\" + file.manifestName : file.manifestName;
            if ((file.kind == FileKind::Product || file.kind == FileKind::Setup) &&
                ZEPMaintenance::ToUpper(productName) == ZEPMaintenance::ToUpper(entry.fileName)) {
                digests = DigestsOf(file);
                break;
            }
        }
        if (!digests) {
            report.Problem("post-upgrade program: " + Utf8(entry.fileName) +
                           " is neither an upgrade file nor a setup file of this update");
        } else if (!manifest.CheckPostUpgradeAction(entry.fileName, *digests)) {
            report.Problem("post-upgrade program: " + Utf8(entry.fileName) + " (SHA-1 " +
                           digests->sha1.ToString() + ", SHA-256 " + digests->sha256.ToString() +
                           ") is not allowed by the manifest");
        } else {
            report.Line("post-upgrade program: " + Utf8(entry.fileName) + " allowed");
        }
    }
    if (!manifest.GetRunAfterUpgrade().empty()) {
        report.Line("run after upgrade: " + Utf8(manifest.GetRunAfterUpgrade()));
    }
}

int Check(const Arguments& arguments) {
    std::optional<std::string> keyFile;
    const auto positional =
        ParseOptions(arguments, {"--key-file"}, [&](const std::string& option, const std::string& value) {
            Single(keyFile, option, value);
        });
    if (positional.size() != 1) {
        Usage("check takes one data folder");
    }
    const SigningKey key = ReadKeyFile(Required(keyFile, "--key-file"));
    const std::string dataFolder = positional.front();
    if (!IsFolder(dataFolder)) {
        Fail(kExitInput, dataFolder + " is not a folder");
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
        ScanUpdateFolder(updateFolder, manifest.GetSetupFolder(), scanProblems);
    for (const std::string& problem : scanProblems) {
        report.Problem(problem);
    }
    if (verified.ok) {
        CheckFiles(manifest, files, report);
        CheckActions(manifest, files, report);
    }
    CheckDeleteList(updateFolder + "/._ZEP_UPGRADE_delete", report);
    return report.Finish();
}

// ---- entry --------------------------------------------------------------------------------------

const char kHelp[] = R"(zcf: the release tool of ZEPMaintenance's signed upgrade manifest

  zcf keygen --out DIR                       make a signing key pair and its key file
  zcf manifest UPDATE-FOLDER [options]       write the manifest XML of an update folder
  zcf sign --key K --in XML --out CONTAINER  sign a manifest into zep_upgrade.xml.zcf
  zcf verify --key-file F CONTAINER          the program's checks of a container
  zcf inspect CONTAINER                      print a container's fields
  zcf check DATA-FOLDER --key-file F         a dry run of an update of a data folder

"zcf COMMAND --help" tells more. Exit codes: 0 done, 1 rejected (a container or data folder an update
would refuse), 2 bad command line, 3 bad input (a file missing, unreadable or malformed).
)";

struct Command {
    const char* name;
    int (*run)(const Arguments&);
    const char* help;
};

const Command kCommands[] = {
    {"keygen", Keygen, kKeygenHelp}, {"manifest", Manifest, kManifestHelp}, {"sign", Sign, kSignHelp},
    {"verify", Verify, kVerifyHelp}, {"inspect", Inspect, kInspectHelp},    {"check", Check, kCheckHelp},
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
