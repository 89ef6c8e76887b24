#pragma once
#include <string>

// Makes link a symbolic link to the folder target and checks that it is
// there: Windows' own link where it can be made; under Wine, whose
// CreateSymbolicLinkA returns TRUE and makes nothing, a Unix symbolic link
// made by ln, which Wine shows as a reparse point. False when neither exists.
bool MakeDirectoryLink(const std::string& link, const std::string& target);
// Removes the link, not what it points to.
void RemoveDirectoryLink(const std::string& link);
