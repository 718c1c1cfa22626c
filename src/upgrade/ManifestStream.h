// A reader of the manifest XML that walks it once, in pieces, and keeps only what the lists need. It
// takes a plain form of XML (UTF-8, the five named entities, comments, CDATA) and leaves every other
// document, and every document it would refuse or report on, to the whole-document parser, which then
// accepts or refuses as always; so what it accepts is read as that parser reads it. It writes no line:
// the caller logs what was read once it trusts the bytes.
#pragma once

#include "upgrade/ManifestFileList.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ZEPMaintenance {

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Up to size bytes; 0 at the end.
    virtual std::size_t Read(uint8_t* buffer, std::size_t size) = 0;
};

// A setup file or a post-upgrade program as written: its hash text verbatim, for the lines that show it.
struct StreamedFile {
    std::wstring fileName;
    std::wstring hash;
    std::wstring args;
    std::string sha256; // lower-case; empty without the attribute
};

struct StreamedManifest {
    std::wstring version;
    bool hasSetupFolder = false;
    std::wstring setupFolder;
    std::vector<std::wstring> deleteFiles;
    std::vector<StreamedFile> setupFiles;
    ManifestFileList upgradeFiles;
    // Whether the hash text of each upgrade file was written in lower case (otherwise upper case).
    std::vector<bool> upgradeHashLower;
    std::vector<StreamedFile> postUpgradeActions;
    bool hasRunAfterUpgrade = false;
    std::wstring runAfterUpgrade;
};

// True when the whole of source was read into manifest; false when the document is one to leave to the
// whole-document parser (manifest then holds nothing of use). Upgrade files are not indexed yet.
bool ReadManifestStream(ByteSource& source, StreamedManifest& manifest);

} // namespace ZEPMaintenance
