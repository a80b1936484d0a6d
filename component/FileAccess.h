#pragma once
// Which files a web page may have the component read or write. Pages reach the
// component through the service, so every path a method takes is resolved
// (symbolic links and ".." followed to the real object) and must lie inside a
// folder the user allowed; anything else is refused.
//
// The allowed folders come from the per-user file
// $XDG_CONFIG_HOME/ARDEQKestrova/component.conf (else
// ~/.config/ARDEQKestrova/component.conf), one "folder = PATH" line each
// ("~/" means the home folder); without such lines the one exchange folder
// ~/ARDEQKestrova is allowed. A relative path is taken inside the first
// allowed folder.

#include <cstddef>
#include <string>
#include <vector>

// Cap on what a method reads from one file.
constexpr size_t kFileAccessMaxRead = 32u * 1024u * 1024u;

// The allowed folders, resolved, without a final "/" (folders that do not
// exist are left out).
std::vector<std::string> fileAccessAllowedFolders();

// "module = PATH" lines of the same file: PKCS#11 modules the user allows
// beside p11-kit's configured ones.
std::vector<std::string> fileAccessConfiguredModules();

// Resolves path to its real location and checks it lies inside an allowed
// folder. For reading the file must exist; for writing its folder must exist
// (the file itself may not). kTokenOk (0) with outResolved set, else
// kTokenPathRefused or kTokenBadArgument (empty path, a folder given).
[[nodiscard]] long fileAccessResolve(const std::string& path, bool forWriting,
                                     std::string& outResolved);

// Resolves a folder (which must exist) and checks it is an allowed folder
// or lies inside one. kTokenOk with outResolved, kTokenPathRefused, or
// kTokenBadArgument for an empty path or one that is not a folder.
[[nodiscard]] long fileAccessResolveFolder(const std::string& path, std::string& outResolved);

// Reads a whole regular file after the check; the file actually opened is
// checked again, so a link swapped in meanwhile is refused too. Files over
// cap give kTokenTooLarge; read errors kTokenFileFailed.
[[nodiscard]] long fileAccessRead(const std::string& path, size_t cap, std::string& outBytes);

// Writes bytes to the file (created with mode 0600 or replaced) after the
// check, through a temporary file in the same folder renamed over it, so a
// failure never leaves half a file. Never follows a link at the final name.
[[nodiscard]] long fileAccessWrite(const std::string& path, const std::string& bytes);
