#pragma once
// Allowed-site list of the shared value store: a page's domain list
// ("host.example;.partner.example") becomes a list of patterns, and the origin
// of a reading page is checked against it. One list and one outcome flag for
// the whole service; callers serialise (the session dispatcher's lock).

#include <string>
#include <vector>

// Turns domainList (entries separated by ";") into the pattern list and clears
// the outcome flag. An empty or null list leaves an empty pattern list, which
// admits no site. Regular-expression errors are caught and logged.
void setUnlockURL(const char* domainList) noexcept;

// Checks origin ("https://host:port") against the pattern list; sets the
// outcome flag when the host matches one pattern. An origin that is not a bare
// http(s) origin leaves the flag untouched. Errors are caught and logged.
void checkUnlockURL(const char* origin) noexcept;

// The outcome of the last check (false after setUnlockURL).
bool isUrlCheckPassed() noexcept;

// Empties the pattern list; the shared value store calls it after every read.
void clearUrlCheckList() noexcept;

// A copy of the present pattern list (for tests and diagnostics).
std::vector<std::string> urlCheckListCopy();
