// What the Windows test programs ask of the system they run on.
#pragma once

#include <string>

// True under Wine, whose behaviour differs from Windows' in a few places
// the tests name.
bool runningUnderWine();

// Removes folder, the files in it and the folders under it; what cannot
// be removed is left, silently.
void removeFolderTree(const std::string& folder);
