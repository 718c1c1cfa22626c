// zcf inspect: a container's fields as far as they can be read, and what is damaged in it.
#pragma once

#include <string>

namespace zcf {

extern const char kInspectHelp[];

// Prints every field of the container at path that the file holds, then whether the program's reader
// takes it; 0 for a whole container, kExitInput (after the fields) for a damaged or unreadable one.
int InspectContainer(const std::string& path);

} // namespace zcf
