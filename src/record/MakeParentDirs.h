#pragma once

namespace kavro {

// Creates the folders that are to hold the file at `path`. The separator is '/' if the path
// has one, else '\'; the part before the first separator (a drive, or nothing for a path
// starting at the root) is taken to exist. true when the folder exists as a directory.
bool MakeParentDirs(const char* path);

}  // namespace kavro
