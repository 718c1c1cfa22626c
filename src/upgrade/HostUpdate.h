// What the host update reads from the update folder: its file names and the delete list's two sections.
#pragma once

#include "diag/Logger.h"

#include <string>
#include <vector>

namespace ZEPMaintenance {

// The data folder's sub-folder the client application fills, and the files of it the update reads.
inline constexpr wchar_t kUpdateFolderName[] = L"update";
inline constexpr wchar_t kManifestFileName[] = L"zep_upgrade.xml.zcf";
inline constexpr wchar_t kDeleteListFileName[] = L"._ZEP_UPGRADE_delete";

// The delete list: files to delete up to the first empty line, folders after it; paths relative to the
// product folder, as written.
struct DeleteListLines {
    std::vector<std::wstring> files;
    std::vector<std::wstring> folders;
};

// The lines of the decoded list as a text-mode read takes them: each ends with a line feed, a carriage
// return before it dropped; a last line without a line break is not taken; lines are otherwise verbatim.
DeleteListLines SplitDeleteList(const std::wstring& text);

// The delete list at path, decoded from code page 852, with every line checked to name something inside
// the product folder before anything is deleted; an empty folder line is dropped with a warning. Lines
// go to logger (the controller's); 141 when the list cannot be read, 131 or 133 for a path refused.
DeleteListLines ReadDeleteList(const std::wstring& path, const Logger& logger);

} // namespace ZEPMaintenance
