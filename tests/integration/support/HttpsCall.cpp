// Calling the service over HTTPS with libcurl, trusting only the built roots.

#include "tests/integration/support/KestrovaITest.h"

#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::once_flag gCurlOnce;
std::once_flag gRootsOnce;
std::string gRootBundle;

bool equalsNoCase(const std::string& a, const std::string& b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string lowered(std::string text)
{
    for (auto& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string trim(const std::string& text)
{
    size_t b = 0, e = text.size();
    while (b < e && std::isspace(static_cast<unsigned char>(text[b])))
        ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(text[e - 1])))
        --e;
    return text.substr(b, e - b);
}

size_t collectBody(char* data, size_t size, size_t count, void* closure)
{
    static_cast<std::string*>(closure)->append(data, size * count);
    return size * count;
}

size_t collectHeader(char* data, size_t size, size_t count, void* closure)
{
    auto* reply = static_cast<ITestReply*>(closure);
    std::string line(data, size * count);
    if (line.rfind("HTTP/", 0) == 0) {
        reply->headers.clear(); // a new response (after a 100 Continue)
        return size * count;
    }
    size_t colon = line.find(':');
    if (colon != std::string::npos)
        reply->headers.emplace_back(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
    return size * count;
}

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

} // namespace

std::optional<std::string> ITestReply::header(const std::string& name) const
{
    for (const auto& [key, value] : headers)
        if (equalsNoCase(key, name))
            return value;
    return std::nullopt;
}

std::string itestRootBundle()
{
    std::call_once(gRootsOnce, [] {
        std::vector<fs::path> roots;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(itestBinDir(), ec)) {
            std::string name = lowered(entry.path().filename().string());
            bool pem = name.size() > 4 && (name.ends_with(".pem") || name.ends_with(".crt"));
            if (entry.is_regular_file() && pem && name.find("root") != std::string::npos)
                roots.push_back(entry.path());
        }
        if (roots.empty())
            return;
        std::sort(roots.begin(), roots.end());
        std::string path = "/tmp/kit-roots-" + std::to_string(getpid()) + ".pem";
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        for (const auto& root : roots) {
            std::ifstream in(root, std::ios::binary);
            out << in.rdbuf() << "\n";
        }
        if (out)
            gRootBundle = path;
        // The bundle goes away with the test process.
        static struct Remover {
            ~Remover()
            {
                if (!gRootBundle.empty())
                    unlink(gRootBundle.c_str());
            }
        } remover;
    });
    return gRootBundle;
}

ITestReply itestRequest(const ITestCall& call)
{
    std::call_once(gCurlOnce, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    ITestReply reply;
    CURL* curl = curl_easy_init();
    if (!curl) {
        reply.curlError = "curl_easy_init failed";
        return reply;
    }
    char errorBuffer[CURL_ERROR_SIZE] = {0};
    std::string url = "https://" + call.urlHost + ":" + std::to_string(call.port) + call.path;
    std::string connectTo = call.urlHost + ":" + std::to_string(call.port) + ":" +
                            (call.ipv6 ? "[::1]" : "127.0.0.1") + ":" +
                            std::to_string(call.port);
    curl_slist* connectList = curl_slist_append(nullptr, connectTo.c_str());
    curl_slist* headerList = nullptr;
    auto addHeader = [&](const std::string& line) {
        headerList = curl_slist_append(headerList, line.c_str());
    };
    // Bodies are sent at once: the service sees the pieces the way a browser
    // sends them, not after a 100 Continue round.
    addHeader("Expect:");
    if (call.origin)
        addHeader("Origin: " + *call.origin);
    if (call.referer)
        addHeader("Referer: " + *call.referer);
    if (call.host)
        addHeader("Host: " + *call.host);
    if (call.method == "POST" && !call.contentType.empty())
        addHeader("Content-Type: " + call.contentType);
    for (const auto& line : call.headers)
        addHeader(line);

    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CONNECT_TO, connectList);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headerList);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, call.timeoutSeconds);
    curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collectBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.body);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, collectHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &reply);
    if (call.tlsMin || call.tlsMax)
        curl_easy_setopt(curl, CURLOPT_SSLVERSION, call.tlsMin | call.tlsMax);
    std::string interfaceName = "host!" + call.localAddress;
    if (!call.localAddress.empty())
        curl_easy_setopt(curl, CURLOPT_INTERFACE, interfaceName.c_str());
    std::string bundle = itestRootBundle();
    if (call.verifyPeer && !bundle.empty()) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, bundle.c_str());
        curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
    } else {
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    }
    if (call.method == "POST") {
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, call.body.data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(call.body.size()));
    } else if (call.method == "GET") {
        curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    } else {
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, call.method.c_str());
        if (!call.body.empty()) {
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, call.body.data());
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(call.body.size()));
        } else {
            curl_easy_setopt(curl, CURLOPT_NOBODY, call.method == "HEAD" ? 1L : 0L);
        }
    }
    CURLcode rc = curl_easy_perform(curl);
    reply.curlCode = rc;
    if (rc != CURLE_OK)
        reply.curlError = errorBuffer[0] ? errorBuffer : curl_easy_strerror(rc);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
    curl_easy_cleanup(curl);
    curl_slist_free_all(headerList);
    curl_slist_free_all(connectList);
    return reply;
}

std::string itestBase64Encode(const std::string& data)
{
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    size_t i = 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    for (; i + 2 < data.size(); i += 3) {
        unsigned v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    if (i < data.size()) {
        unsigned v = bytes[i] << 16;
        if (i + 1 < data.size())
            v |= bytes[i + 1] << 8;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += (i + 1 < data.size()) ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::optional<std::string> itestBase64Decode(const std::string& text)
{
    if (text.size() % 4 != 0)
        return std::nullopt;
    std::string out;
    unsigned value = 0;
    int bits = 0;
    size_t padding = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '=') {
            if (i + 2 < text.size())
                return std::nullopt;
            ++padding;
            continue;
        }
        if (padding)
            return std::nullopt;
        const char* at = strchr(kAlphabet, c);
        if (!at || c == '\0')
            return std::nullopt;
        value = (value << 6) | static_cast<unsigned>(at - kAlphabet);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((value >> bits) & 0xFF);
        }
    }
    return out;
}

std::string itestPercentEncode(const std::string& text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string itestEncodeParameter(const std::string& json)
{
    return "Parameter=" + itestPercentEncode(itestBase64Encode(json));
}

ITestReply itestPostCall(const std::string& json, const ITestCall& call)
{
    ITestCall post = call;
    post.method = "POST";
    post.body = itestEncodeParameter(json);
    return itestRequest(post);
}

std::optional<std::map<std::string, std::string>> itestDecodeAnswer(const std::string& body)
{
    // The answer is a flat object of string values: {"k": "B64", "k2": "B64"}.
    std::map<std::string, std::string> out;
    size_t i = 0;
    auto skipBlanks = [&] {
        while (i < body.size() && std::isspace(static_cast<unsigned char>(body[i])))
            ++i;
    };
    auto readString = [&](std::string& into) -> bool {
        if (i >= body.size() || body[i] != '"')
            return false;
        size_t end = body.find('"', i + 1);
        if (end == std::string::npos)
            return false;
        into = body.substr(i + 1, end - i - 1);
        i = end + 1;
        return true;
    };
    skipBlanks();
    if (i >= body.size() || body[i] != '{')
        return std::nullopt;
    ++i;
    skipBlanks();
    if (i < body.size() && body[i] == '}')
        return out;
    for (;;) {
        std::string key, value;
        skipBlanks();
        if (!readString(key))
            return std::nullopt;
        skipBlanks();
        if (i >= body.size() || body[i] != ':')
            return std::nullopt;
        ++i;
        skipBlanks();
        if (!readString(value))
            return std::nullopt;
        auto decoded = itestBase64Decode(value);
        if (!decoded)
            return std::nullopt;
        out[key] = *decoded;
        skipBlanks();
        if (i < body.size() && body[i] == ',') {
            ++i;
            continue;
        }
        if (i < body.size() && body[i] == '}')
            return out;
        return std::nullopt;
    }
}

ITestCommandResult itestTlsHandshake(int port, bool ipv6, const std::string& priority)
{
    std::vector<std::string> argv = {"gnutls-cli", "--priority=" + priority, "-p",
                                     std::to_string(port)};
    std::string bundle = itestRootBundle();
    if (!bundle.empty())
        argv.push_back("--x509cafile=" + bundle);
    else
        argv.push_back("--insecure");
    // The name is checked against the certificate; the address is chosen here.
    argv.push_back("--sni-hostname=localhost");
    argv.push_back("--verify-hostname=localhost");
    argv.push_back(ipv6 ? "::1" : "127.0.0.1");
    return itestRunCommand(argv, 120);
}
