// The update of the installed product from the data folder's update folder, and the delete list it reads.
#pragma once

#include "diag/Logger.h"
#include "upgrade/EngineLayout.h"
#include "upgrade/Progress.h"
#include "upgrade/Rollback.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ZEPMaintenance {

class ConfigFile;

// The delete list: files to delete up to the first empty line, folders after it; paths relative to the
// product folder, as written.
struct DeleteListLines {
    std::vector<std::wstring> files;
    std::vector<std::wstring> folders;
};

// The lines of the decoded list as a text-mode read takes them: each ends with a line feed, a carriage
// return before it dropped; a last line without a line break is not taken; lines are otherwise verbatim.
DeleteListLines SplitDeleteList(const std::wstring& text);

// The delete list's bytes as the update reads them (at most 16 MiB, no link followed, no FIFO waited on),
// decoded from code page 852. readError is the platform's error of the read, 0 once read; decoded is
// false for bytes the code page cannot take.
struct DeleteListText {
    uint32_t readError = 0;
    bool decoded = false;
    std::wstring text;
};
DeleteListText ReadDeleteListText(const std::wstring& path);

// The rule of the delete list, decided on its lines alone before anything is deleted: every file line and
// every folder line must name something inside the product folder (IsInsideFolder); an empty folder line
// names no folder and is dropped. refusal is 0, or the code of the first line refused: 131 for a file
// line (files are checked first), 133 for a folder line.
struct CheckedDeleteList {
    DeleteListLines lines; // the lines taken: the folders without the empty lines
    std::size_t emptyFolderLines = 0;
    int32_t refusal = 0;
    std::wstring refusedPath;
};
CheckedDeleteList CheckDeleteListLines(DeleteListLines lines);

// The delete list at path, read and decoded (ReadDeleteListText), split (SplitDeleteList) and checked
// (CheckDeleteListLines) before anything is deleted; the empty folder lines dropped with one warning.
// Lines go to logger (the controller's); 141 when the list cannot be read, 131 or 133 for a path refused.
DeleteListLines ReadDeleteList(const std::wstring& path, const Logger& logger);

// A post-upgrade program's path must name a file inside the product folder before its file is read
// (142 otherwise).
bool IsPostUpgradeProgramPath(const std::wstring& fileName);

// The first line of the delete list whose way crosses a link in the product folder (platform::CrossesLink),
// the files before the folders: code 131 for a file line, 133 for a folder line, 0 when there is none;
// error is the platform's error of the look where it failed.
struct LinkOnTheWay {
    int32_t code = 0;
    std::wstring path;
    uint32_t error = 0;
};
LinkOnTheWay FindLinkOnTheWay(const std::wstring& productFolder, const DeleteListLines& lines);

// The delete list's files the update deletes after the pre-upgrade deletes: each pre-upgrade delete takes
// the first line of its own spelling off the list, exactly.
std::vector<std::wstring> FilesLeftAfterActions(const std::vector<std::wstring>& preUpgradeDeletes,
                                                std::vector<std::wstring> files);

// What deleting a file line of the delete list fails with although the line passed CheckDeleteListLines:
// 100 for a line ending in a separator (the file has no name), 131 for a last component "." (a folder is no
// file); 0 for a line that names a file.
int32_t DeleteListFileFailure(const std::wstring& line);

// A delete that finds its object gone because an earlier delete of the same update took it: the
// pre-upgrade deletes run in manifest order, each taking the first line of its own spelling off the delete
// list; then the list's files are deleted in order, then its folders from the last to the first. path is
// the later delete as written, earlier the one that took its object; code is what the update fails with:
// 152 (a pre-upgrade delete), 131 (a file line), 133 (a folder line). Paths name one object when
// ReleasePathKey (ignoreCase) makes them equal; paths their own rules refuse are to be left out.
struct DeleteConflict {
    std::wstring path;
    std::wstring earlier;
    int32_t code;
};
std::vector<DeleteConflict> FindDeleteConflicts(const std::vector<std::wstring>& preUpgradeDeletes,
                                                const DeleteListLines& lines, bool ignoreCase);

// What the host update takes besides its folders: the client application to wait for and the rollback
// it schedules.
struct HostUpdateRun {
    int32_t hostProcessId = 0;
    RollbackSchedule rollback;
};

namespace upgrade {

// Waits for the client application, verifies the manifest, backs the product up with the rollback
// scheduled, runs the pre-upgrade actions, deletes the listed files and folders, installs the new files
// and runs the post-upgrade programs; then the rollback is taken out, the backup and the update folder
// removed, and the program to start afterwards handed to the dialog. A failure once deleting has begun
// restores the backup at once; before that the scheduled rollback is left for the next logon.
void DoHostUpdate(const EngineLayout& layout, const HostUpdateRun& run, Progress& progress,
                  const Logger& logger);
// Waits up to 30 s for the client application to exit; 137, 139.
void WaitForHostProcessToClose(int32_t hostProcessId, Progress& progress, const Logger& logger);
// The manifest's post-upgrade programs, each checked against it and awaited; 142, 144.
void RunPostUpgradeActions(const EngineLayout& layout, const ConfigFile& manifest, Progress& progress,
                           const Logger& logger);

} // namespace upgrade

} // namespace ZEPMaintenance
