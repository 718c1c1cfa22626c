// ConfigFile: loading the signed manifest and answering whether a file is listed with its hash.
#include "upgrade/ConfigFile.h"

#include "base/Cleanup.h"
#include "diag/IMException.h"
#include "system/Text.h"
#include "upgrade/ManifestStream.h"
#include "upgrade/SignedManifestFile.h"

#include <pugixml.hpp>

#include <algorithm>
#include <cctype>

namespace ZEPMaintenance {

namespace {

// The element's first text or CDATA child, verbatim; empty without one.
std::wstring TextOf(const pugi::xml_node& node) {
    return node.text().get();
}

Sha1Hash HashFromText(const std::wstring& text) {
    Sha1Hash hash;
    hash.LoadFromString(WideToMultiByte(text, kAnsiCodePage));
    return hash;
}

bool SameHash(const Sha1Hash& a, const Sha1Hash& b) {
    return a.Compare(b.ToString().c_str()) == 0;
}

// Where the entry names no SHA-256 the file is taken on its SHA-1 alone, as before there was one.
bool SameSha256(const ManifestFileEntry& entry, const FileDigests& digests) {
    return entry.sha256.IsEmpty() || entry.sha256 == digests.sha256;
}

bool SameDigests(const ManifestFileEntry& entry, const FileDigests& digests) {
    return SameHash(entry.hash, digests.sha1) && SameSha256(entry, digests);
}

// Each File child of the named list that has a hash attribute, in document order; one without is
// skipped silently.
template <class Take>
void ForEachHashedFile(const pugi::xml_node& root, const wchar_t* list, const Take& take) {
    if (const pugi::xml_node files = root.child(list)) {
        for (const pugi::xml_node element : files.children(L"File")) {
            if (const pugi::xml_attribute hash = element.attribute(L"hash")) {
                take(element, std::wstring(hash.value()));
            }
        }
    }
}

// The element's sha256 attribute, when it has one: 64 hexadecimal digits, or the manifest is refused
// as for a malformed hash.
void ReadSha256(const pugi::xml_node& element, ManifestFileEntry& entry, const Logger& logger) {
    const pugi::xml_attribute attribute = element.attribute(L"sha256");
    if (!attribute) {
        return;
    }
    const std::wstring value = attribute.value();
    std::string text;
    for (const wchar_t c : value) {
        text += c > 0 && c < 0x80 ? static_cast<char>(c) : '?';
    }
    if (!entry.sha256.LoadFromString(text)) {
        logger.Error(L"LoadBuffer: Incorrect SHA-256 hash. (filename: %ls, sha256: %ls)", entry.fileName,
                     value);
        ThrowIMException(ErrorCode::kInvalidValue, L"Incorrect SHA-256 hash.");
    }
    logger.Info(L"LoadBuffer: Parsed SHA-256 (filename: %ls, sha256: %hs)", entry.fileName,
                entry.sha256.ToString());
}

// The raw digests of an entry the whole-document parse made, for the packed list.
void AddPacked(ManifestFileList& list, const ManifestFileEntry& entry) {
    ManifestFileList::Sha1Bytes sha1{};
    ManifestFileList::Sha256Bytes sha256{};
    HexToBytes(entry.hash.ToString(), sha1.data(), sha1.size());
    const bool hasSha256 = HexToBytes(entry.sha256.ToString(), sha256.data(), sha256.size());
    list.Add(entry.fileName, sha1, hasSha256 ? &sha256 : nullptr);
}

class BufferSource : public ByteSource {
public:
    explicit BufferSource(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
    std::size_t Read(uint8_t* buffer, std::size_t size) override {
        const std::size_t count = std::min(size, bytes_.size() - offset_);
        std::copy_n(bytes_.data() + offset_, count, buffer);
        offset_ += count;
        return count;
    }

private:
    const std::vector<uint8_t>& bytes_;
    std::size_t offset_ = 0;
};

class ContainerSource : public ByteSource {
public:
    explicit ContainerSource(SignedManifestStream& stream) : stream_(stream) {}
    std::size_t Read(uint8_t* buffer, std::size_t size) override { return stream_.Read(buffer, size); }

private:
    SignedManifestStream& stream_;
};

std::wstring HashTextOf(const ManifestFileList& list, std::size_t position, bool lower) {
    std::string text = list.Sha1TextOf(position);
    if (lower) {
        for (char& c : text) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
    }
    return std::wstring(text.begin(), text.end());
}

} // namespace

ConfigFile::ConfigFile() = default;
ConfigFile::~ConfigFile() = default;

bool ConfigFile::LoadZCFFile(const std::wstring& path) {
    return LoadZCFFile(path, BuiltInSigningKey());
}

bool ConfigFile::LoadZCFFile(const std::wstring& path, const SigningKey& key) {
    {
        // Nothing read is taken, and nothing is logged, before the signature over all of it holds.
        SignedManifestStream stream;
        StreamedManifest streamed;
        if (stream.Open(path.c_str(), key)) {
            ContainerSource source(stream);
            if (ReadManifestStream(source, streamed) && stream.Verified()) {
                Take(streamed);
                return true;
            }
        }
    }
    SignedManifestFile image;
    // Cleared on every way out, a raised hash error included.
    const Cleanup clear([&image] { image.Clear(); });
    image.Clear();
    if (image.LoadFile(path.c_str()) != 0) {
        logger.Error(L"LoadZCFFile: LoadFile failed.");
        return false;
    }
    if (image.VerifySignature(key) != 0) {
        logger.Error(L"LoadZCFFile: VerifySignature failed.");
        return false;
    }
    std::vector<uint8_t> bytes;
    bytes.reserve(image.GetDataLength());
    bytes.assign(image.GetData(), image.GetData() + image.GetDataLength());
    return LoadBuffer(std::move(bytes));
}

bool ConfigFile::LoadBuffer(std::vector<uint8_t> bytes) {
    {
        StreamedManifest streamed;
        BufferSource source(bytes);
        if (ReadManifestStream(source, streamed)) {
            Take(streamed);
            return true;
        }
    }
    return LoadDocument(std::move(bytes));
}

void ConfigFile::Take(StreamedManifest& streamed) {
    version = streamed.version;
    if (streamed.hasSetupFolder) {
        setupFolder = streamed.setupFolder;
    }
    for (const std::wstring& filePath : streamed.deleteFiles) {
        logger.Info(L"LoadBuffer: Parsed PreUpgradeAction-DeleteFile (filepath: %ls)", filePath);
        preUpgradeActions.push_back(std::make_unique<DeleteFileAction>(filePath));
    }
    const auto sha256Line = [&](const ManifestFileEntry& entry) {
        if (!entry.sha256.IsEmpty()) {
            logger.Info(L"LoadBuffer: Parsed SHA-256 (filename: %ls, sha256: %hs)", entry.fileName,
                        entry.sha256.ToString());
        }
    };
    for (const StreamedFile& file : streamed.setupFiles) {
        ManifestFileEntry entry;
        entry.fileName = file.fileName;
        entry.args = file.args;
        logger.Info(L"LoadBuffer: Parsed SetupFile (filename: %ls, hash: %ls, args: %ls)", entry.fileName,
                    file.hash, entry.args);
        entry.hash = HashFromText(file.hash);
        entry.sha256.LoadFromString(file.sha256);
        sha256Line(entry);
        setupFiles.push_back(entry);
    }
    const ManifestFileList& read = streamed.upgradeFiles;
    const bool first = upgradeFiles.empty();
    for (std::size_t i = 0; i < read.size(); ++i) {
        const ManifestFileEntry entry = read[i];
        logger.Info(L"LoadBuffer: Parsed UpgradeFile (filename: %ls, hash: %ls)", entry.fileName,
                    HashTextOf(read, i, streamed.upgradeHashLower[i]));
        sha256Line(entry);
        if (!first) {
            AddPacked(upgradeFiles, entry);
        }
    }
    if (first) {
        upgradeFiles = std::move(streamed.upgradeFiles);
    }
    for (const StreamedFile& file : streamed.postUpgradeActions) {
        ManifestFileEntry entry;
        entry.fileName = file.fileName;
        entry.args = file.args;
        logger.Info(L"LoadBuffer: Parsed PostUpgradeAction (filename: %ls, args: %ls)", entry.fileName,
                    entry.args);
        entry.sha256.LoadFromString(file.sha256);
        sha256Line(entry);
        postUpgradeActions.push_back(entry);
    }
    if (streamed.hasRunAfterUpgrade) {
        runAfterUpgrade = streamed.runAfterUpgrade;
        logger.Info(L"LoadBuffer: Parsed RunAfterUpgrade (filename: %ls)", runAfterUpgrade);
    }
    setupIndex = IndexByName(setupFiles);
    upgradeFiles.Index();
    loaded = true;
}

bool ConfigFile::LoadDocument(std::vector<uint8_t> bytes) {
    pugi::xml_document document;
    if (!document.load_buffer(bytes.data(), bytes.size(), pugi::parse_default, pugi::encoding_auto)) {
        logger.Error(L"LoadBuffer: Parse XML failed.");
        return false;
    }
    const pugi::xml_node root = document.child(L"ZEP_UPGRADE");
    if (!root) {
        logger.Error(L"LoadBuffer: Root node doesn't contain element ZEP_UPGRADE.");
        return false;
    }
    // Present with an empty value is not absent: only presence is required.
    const pugi::xml_attribute versionAttribute = root.attribute(L"version");
    if (!versionAttribute) {
        logger.Error(L"LoadBuffer: ZEP_UPGRADE doesn't containt attribute version.");
        return false;
    }
    version = versionAttribute.value();

    if (const pugi::xml_node folder = root.child(L"SetupFolder")) {
        setupFolder = TextOf(folder);
    }
    if (const pugi::xml_node actions = root.child(L"PreUpgradeActions")) {
        for (const pugi::xml_node element : actions.children(L"DeleteFile")) {
            const std::wstring filePath = TextOf(element);
            logger.Info(L"LoadBuffer: Parsed PreUpgradeAction-DeleteFile (filepath: %ls)", filePath);
            preUpgradeActions.push_back(std::make_unique<DeleteFileAction>(filePath));
        }
    }
    ForEachHashedFile(root, L"SetupFiles", [&](const pugi::xml_node& element, const std::wstring& hash) {
        ManifestFileEntry entry;
        entry.fileName = TextOf(element);
        entry.args = element.attribute(L"args").value();
        logger.Info(L"LoadBuffer: Parsed SetupFile (filename: %ls, hash: %ls, args: %ls)", entry.fileName,
                    hash, entry.args);
        entry.hash = HashFromText(hash);
        ReadSha256(element, entry, logger);
        setupFiles.push_back(entry);
    });
    ForEachHashedFile(root, L"UpgradeFiles", [&](const pugi::xml_node& element, const std::wstring& hash) {
        ManifestFileEntry entry;
        entry.fileName = TextOf(element);
        logger.Info(L"LoadBuffer: Parsed UpgradeFile (filename: %ls, hash: %ls)", entry.fileName, hash);
        entry.hash = HashFromText(hash);
        ReadSha256(element, entry, logger);
        AddPacked(upgradeFiles, entry);
    });
    if (const pugi::xml_node actions = root.child(L"PostUpgradeActions")) {
        for (const pugi::xml_node element : actions.children(L"RunFile")) {
            ManifestFileEntry entry;
            entry.fileName = TextOf(element);
            entry.args = element.attribute(L"args").value();
            logger.Info(L"LoadBuffer: Parsed PostUpgradeAction (filename: %ls, args: %ls)", entry.fileName,
                        entry.args);
            ReadSha256(element, entry, logger);
            postUpgradeActions.push_back(entry);
        }
    }
    if (const pugi::xml_node runAfter = root.child(L"RunAfterUpgrade")) {
        runAfterUpgrade = TextOf(runAfter);
        logger.Info(L"LoadBuffer: Parsed RunAfterUpgrade (filename: %ls)", runAfterUpgrade);
    }
    setupIndex = IndexByName(setupFiles);
    upgradeFiles.Index();
    loaded = true;
    return true;
}

ConfigFile::NameIndex ConfigFile::IndexByName(const std::vector<ManifestFileEntry>& entries) {
    NameIndex index;
    index.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        index[ToUpper(entries[i].fileName)].push_back(i);
    }
    return index;
}

const ManifestFileEntry* ConfigFile::FindListed(const std::vector<ManifestFileEntry>& entries,
                                                const NameIndex& index, const std::wstring& name,
                                                const FileDigests& digests) const {
    if (!loaded) {
        return nullptr;
    }
    const auto named = index.find(ToUpper(name));
    if (named == index.end()) {
        return nullptr;
    }
    for (const std::size_t i : named->second) {
        if (SameDigests(entries[i], digests)) {
            return &entries[i];
        }
    }
    return nullptr;
}

const ManifestFileEntry* ConfigFile::FindSetupFile(const std::wstring& name,
                                                   const FileDigests& digests) const {
    return FindListed(setupFiles, setupIndex, name, digests);
}

bool ConfigFile::CheckUpgradeFile(const std::wstring& name, const FileDigests& digests) const {
    return loaded && upgradeFiles.Find(name, digests) != ManifestFileList::npos;
}

bool ConfigFile::CheckPostUpgradeAction(const std::wstring& name, const FileDigests& digests) const {
    if (!loaded) {
        return false;
    }
    const std::wstring upperName = ToUpper(name);
    for (const ManifestFileEntry& entry : postUpgradeActions) {
        if (ToUpper(entry.fileName) == upperName && !SameSha256(entry, digests)) {
            return false;
        }
    }
    for (const ManifestFileEntry& entry : postUpgradeActions) {
        const std::wstring entryName = ToUpper(entry.fileName);
        logger.Info(L"CheckPostUpgradeAction: Comparing with upgrade file (filenameA: %ls, filenameB: %ls)",
                    entryName, upperName);
        if (entryName == upperName && CheckUpgradeFile(name, digests)) {
            return true;
        }
    }
    for (const ManifestFileEntry& entry : setupFiles) {
        const std::wstring candidate = ToUpper(setupFolder + L"\\" + entry.fileName);
        logger.Info(
            L"CheckPostUpgradeAction: Comparing with setup file (filenameA: %ls, filenameB: %ls, hashA: "
            L"%hs, hashB: %hs)",
            candidate, upperName, digests.sha1.ToString(), entry.hash.ToString());
        if (candidate == upperName && SameDigests(entry, digests)) {
            return true;
        }
    }
    return false;
}

} // namespace ZEPMaintenance
