#pragma once

namespace vexa::platform {

// The separator this system puts between a folder and a name: '/', or '\'
// on Windows.
extern const char kPathSeparator;

// Whether c separates the names in a path: '/', and on Windows also '\'.
bool isPathSeparator(char c);

} // namespace vexa::platform
