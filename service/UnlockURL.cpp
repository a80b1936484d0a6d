// Allowed-site list of the shared value store.
#include "service/UnlockURL.h"

#include "common/runtime/Log.h"

#include <cctype>
#include <cstring>
#include <exception>
#include <regex>

namespace {

struct UnlockUrlState {
    std::vector<std::string> urlCheckList;
    bool urlCheckPassed = false;
};
UnlockUrlState gl;

// A bare origin is a scheme, a host name of at most 253 characters, an optional
// "/" and a port. Anything longer is not an origin, and the cap keeps the
// recursive regular-expression engine far away from deep backtracking on a
// huge header.
constexpr size_t kMaxOriginLength = 512;

constexpr const char* kOriginExpression =
    "^https?:\\/\\/"
    "(((25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)(\\.(25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)){3})"
    "|(([a-zA-Z0-9]|[a-zA-Z0-9][a-zA-Z0-9\\-]{0,61}[a-zA-Z0-9])(\\.([a-zA-Z0-9]|[a-zA-Z0-9][a-zA-"
    "Z0-9\\-]{0,61}"
    "[a-zA-Z0-9]))*))\\/?(:\\d+)?$";

std::string trimBlanks(const std::string& text) {
    size_t first = 0;
    size_t last = text.size();
    while (first < last && std::isspace(static_cast<unsigned char>(text[first])) != 0) {
        ++first;
    }
    while (last > first && std::isspace(static_cast<unsigned char>(text[last - 1])) != 0) {
        --last;
    }
    return text.substr(first, last - first);
}

void logRegexException(const char* label, const std::exception* error) {
    const char* message = error != nullptr ? error->what() : nullptr;
    logWarning(label, message != nullptr && message[0] != '\0' ? message : "Unknown exception");
}

} // namespace

void setUnlockURL(const char* domainList) noexcept {
    // The flag goes down first: whatever happens below, an earlier success
    // must never admit the read that comes with this list.
    gl.urlCheckPassed = false;
    try {
        if (domainList == nullptr || domainList[0] == '\0') {
            // An empty list admits no site.
            gl.urlCheckList.clear();
            return;
        }
        const std::string list(domainList);
        const std::regex separator(";");
        std::vector<std::string> pieces;
        for (std::sregex_token_iterator it(list.begin(), list.end(), separator, -1), end; it != end;
             ++it) {
            pieces.push_back(it->str());
        }
        logNormal("Enable url check list", "");

        std::vector<std::string> patterns;
        for (const std::string& raw : pieces) {
            std::string piece = trimBlanks(raw);
            if (!piece.empty() && piece.front() == '.') {
                piece = std::string("*") + piece;
            }
            if (!piece.empty() && piece.back() == '.') {
                piece.push_back('*');
            }
            if (!piece.empty()) {
                patterns.push_back(std::move(piece));
            }
        }

        const std::regex wildcard("\\*");
        const std::regex dot("\\.");
        // The list grows entry by entry so that an exception leaves it as far
        // as it got.
        gl.urlCheckList.clear();
        for (const std::string& piece : patterns) {
            logNormal("Url check list: ", piece.c_str());
            std::string pattern = std::regex_replace(piece, wildcard, "\\S*");
            pattern = std::regex_replace(pattern, dot, "\\.");
            gl.urlCheckList.push_back(std::move(pattern));
        }
    } catch (const std::exception& error) {
        logRegexException("setUnlockURL exception: ", &error);
    } catch (...) {
        logRegexException("setUnlockURL exception: ", nullptr);
    }
}

void checkUnlockURL(const char* origin) noexcept {
    try {
        const bool tooLong =
            origin == nullptr || strnlen(origin, kMaxOriginLength + 1) > kMaxOriginLength;
        const std::regex validation(kOriginExpression, std::regex::ECMAScript | std::regex::icase);
        if (tooLong || !std::regex_match(origin, validation)) {
            logWarning("[Warning] ", "Input domain is not url");
            return;
        }
        if (gl.urlCheckPassed || gl.urlCheckList.empty()) {
            return;
        }
        logNormal("Unlock original domain input: ", origin);

        std::string alternation;
        for (const std::string& pattern : gl.urlCheckList) {
            alternation += "(";
            alternation += pattern;
            if (!alternation.empty() && alternation.back() == '/') {
                alternation.pop_back();
            }
            alternation += "\\/?)|";
        }
        if (!alternation.empty() && alternation.back() == '|') {
            alternation.pop_back();
        }

        std::string host = std::regex_replace(std::string(origin), std::regex("https?:\\/\\/"), "");
        host = std::regex_replace(host, std::regex(":.*"), "");

        const std::regex allowed(alternation);
        if (std::regex_match(host, allowed)) {
            gl.urlCheckPassed = true;
        }
    } catch (const std::exception& error) {
        logRegexException("unlock exception: ", &error);
    } catch (...) {
        logRegexException("unlock exception: ", nullptr);
    }
}

bool isUrlCheckPassed() noexcept {
    return gl.urlCheckPassed;
}

void clearUrlCheckList() noexcept {
    gl.urlCheckList.clear();
}

std::vector<std::string> urlCheckListCopy() {
    return gl.urlCheckList;
}
