// zcf: an update folder made from two release trees, and the names a product folder can hold.
#pragma once

#include "UpdateFolder.h"

#include <string>
#include <vector>

namespace zcf {

extern const char kDiffHelp[];

// Builds the update folder out from the release trees oldTree and newTree: the files of newTree that
// oldTree lacks or holds with other bytes, and the delete list of what newTree no longer has. Prints
// what it put in; writes nothing at all when a tree holds what a product folder cannot (ToolError).
int Diff(const std::string& oldTree, const std::string& newTree, const std::string& out);

// The text in code page 852, the delete list's; false when a character is not in it.
bool ToCodePage852(const std::wstring& text, std::string& bytes);

// The delete list of these files and folders (backslash-separated, relative to the product folder):
// the files, an empty line, the folders, each line ending in CR LF; no bytes when both are empty.
std::string DeleteListBytes(const std::vector<std::wstring>& files, const std::vector<std::wstring>& folders);

// Why a file or folder name (as on disk) cannot be one of a product folder: not UTF-8, a character
// Windows refuses or drops, a device name, a character code page 852 lacks. Empty when it can be.
std::string ProductNameProblem(const std::string& name);

// Problems of a scanned update folder for the manifest: a file that lands in the product folder (an
// upgrade or setup file) under a name that no later delete list could write.
void AddCodePageProblems(const std::vector<UpdateFile>& files, const std::wstring& setupFolder,
                         std::vector<std::string>& problems);

} // namespace zcf
