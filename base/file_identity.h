#pragma once
#include <string>

// True when both paths name one existing file, whatever the names: the same
// device and inode (Windows: volume and file index), so a hard link, a
// symbolic link or another spelling of the path is caught too. False when
// either does not exist or cannot be examined.
bool IsSameFile(const std::string& pathA, const std::string& pathB);
