// Paths a release engineer writes (manifest names, the delete list, DeleteFile elements): separated by
// backslashes on every platform and relative to a folder the worker was given.
#pragma once

#include <string>

namespace ZEPMaintenance {

// The path with the platform's separator, to be appended to a folder's full path.
std::wstring ToPlatformPath(const std::wstring& releasePath);

// True when the path names something strictly inside the folder it is relative to: not empty, not
// rooted, no drive or stream (no colon anywhere), no component of dots and blanks alone other than
// ".", and at least one component that is not "." — so "", ".", ".\" and "a\..\.." never name the
// folder itself or anything outside it. Either separator counts, as both do on Windows.
bool IsInsideFolder(const std::wstring& releasePath);

// The object a path inside the folder names, as one text: either separator, doubled separators and "."
// components make no difference. With ignoreCase names compare as Windows resolves them (letter case and
// trailing dots and blanks of a component make none either); without, exactly, as Linux resolves them.
std::wstring ReleasePathKey(const std::wstring& releasePath, bool ignoreCase);

} // namespace ZEPMaintenance
