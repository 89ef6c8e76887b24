#pragma once
#include <string>

// Makes link a symbolic link to target, a folder or a file, and checks that
// it is there: Windows' own link where it can be made; under Wine, whose
// CreateSymbolicLinkA returns TRUE and makes nothing, a Unix symbolic link
// made by ln. False unless the link is there and shown as a reparse point
// (Wine shows one to a folder so, but one to a file as the file itself).
bool MakeSymbolicLink(const std::string& link, const std::string& target);
// Removes the link, not what it points to.
void RemoveSymbolicLink(const std::string& link);
