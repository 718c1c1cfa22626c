// zcf: the files of an update folder under the names the manifest gives them.
#pragma once

#include <string>
#include <vector>

namespace zcf {

// How the copy stage treats a file: the product, the two system folders, the setup folder.
enum class FileKind { Product, System, SystemCom, Setup };

struct UpdateFile {
    FileKind kind;
    std::wstring manifestName; // backslash-separated, as the manifest lists it
    std::string path;          // on disk
    std::string hash;          // SHA-1, upper-case hex
    std::string sha256;        // lower-case hex
    std::string relativePath;  // on disk, relative to the update folder ('/'-separated)
};

// What a scan is for: names for a manifest zcf writes, or the names the update itself reads.
enum class NamesFor { Writing, TheUpdate };

// Walks the folder as the copy stage does: "_ZEP_UPGRADE_SYSTEM" and "_ZEP_UPGRADE_SYSTEM_COM" at the
// top (named by the folder and the file name alone), the setup folder (named relative to it), every
// other file by its relative path; the container and the delete list at the top are not files of
// the update. Links, special files and names holding a backslash go to problems, as the update refuses
// them; for Writing also names that are not UTF-8 or hold a control character, which zcf does not
// write, while for TheUpdate such a name is taken as the update reads it (a byte that is not UTF-8 as
// one of U+DC80..U+DCFF), since a manifest written by other means may list it.
std::vector<UpdateFile> ScanUpdateFolder(const std::string& folder, const std::wstring& setupFolder,
                                         std::vector<std::string>& problems,
                                         NamesFor names = NamesFor::Writing);

std::string Utf8(const std::wstring& text);

} // namespace zcf
