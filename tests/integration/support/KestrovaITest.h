#pragma once
// Black-box test support: runs the real ARDEQKestrova program in folders of its
// own on free ports, calls it over HTTPS with libcurl the way a page does, and
// reads its log. Every test that starts the service goes through here, so test
// runs never meet each other or an installed service.

#include <sys/types.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// ---------------------------------------------------------------------------
// Starting and stopping the service
// ---------------------------------------------------------------------------

struct ITestServiceOptions {
    // The command line after the program name, split at blanks ("" gives no
    // argument at all). The keeper's first attempt is "0".
    std::string commandLine = "0";
    // Ports for KESTROVA_PORTS. Empty: three free ports are chosen and held
    // (a lock file per port) until the service record is destroyed.
    std::vector<int> ports;
    // False: KESTROVA_PORTS is not set and the fixed ports are used (the test
    // then needs a CTest resource lock on them).
    bool setPorts = true;
    // Program file in the bin folder.
    std::string program = "ARDEQKestrova";
    // Written as "Log Level" of the ini; negative: no ini at all (logging off).
    int logLevel = 5;
    // KESTROVA_COM_REGISTRY when not empty.
    std::string comRegistry;
    // Further variables, set after the folder overrides (so they may replace
    // them); an empty value unsets the variable. SOFTHSM2_CONF defaults to the
    // test process's own, else to an empty token store of the run's own.
    std::vector<std::pair<std::string, std::string>> environment;
    // Wait for "ARDEQKestrova initialization: " in the log after the start.
    bool waitUntilServing = true;
    // Upper bound for that wait; a hang ends the test instead of the run.
    int startTimeoutSeconds = 180;
};

struct ITestService {
    ITestService() = default;
    ITestService(const ITestService&) = delete;
    ITestService& operator=(const ITestService&) = delete;
    // Stops a running service (SIGTERM, then SIGKILL) and removes the folders
    // unless KESTROVA_ITEST_KEEP is set in the environment.
    ~ITestService();

    pid_t pid = -1;
    bool exited = false;
    int exitCode = -1;        // exit code, or 128 + signal number
    std::string root;         // fresh temporary folder holding everything below
    std::string binDir;       // execute path of the programs
    std::string appData;      // KESTROVA_COMMON_APPDATA
    std::string copyPath;     // appData + "/ARDEQKestrova"
    std::string runtimeDir;   // KESTROVA_RUNTIME_DIR
    std::string sysconfDir;   // KESTROVA_SYSCONF_DIR (holds ARDEQKestrova.ini)
    std::string tmpDir;       // TMPDIR
    std::string home;         // HOME
    std::string desktop;      // XDG_DESKTOP_DIR
    std::string logDir;       // the log files (dated names) land here
    std::string outputPath;   // standard output and error of the program
    std::vector<int> ports;
    std::vector<int> portLockFds;
    ITestServiceOptions options;
    std::vector<std::string> environment; // "NAME=value" as handed to the program
};

// The bin folder of the build (KESTROVA_ITEST_BIN_DIR overrides it).
std::string itestBinDir();

// Creates the folders and the ini and chooses ports; does not start anything.
// Null (with outError) when a folder cannot be made.
std::unique_ptr<ITestService> itestPrepareService(const ITestServiceOptions& options,
                                                  std::string* outError = nullptr);
// Starts the prepared service. With waitUntilServing, true only when the log
// says "ARDEQKestrova initialization: Success"; otherwise true once started.
bool itestLaunchService(ITestService& service, std::string* outError = nullptr);
// Prepare plus launch. Null when either fails (outError tells why).
std::unique_ptr<ITestService> itestStartService(const ITestServiceOptions& options = {},
                                                std::string* outError = nullptr);

// Waits until the log holds the text (true), the program ended or the time is
// up (false).
bool itestWaitForLog(ITestService& service, const std::string& text, int timeoutSeconds = 120);
// Waits for the program's end; its exit code, or -1 when it still runs.
int itestWaitExit(ITestService& service, int timeoutSeconds = 120);
// Sends the signal and waits for the end; the exit code, or -1.
int itestStopService(ITestService& service, int signalNumber = 15, int timeoutSeconds = 120);
// True while the program runs (reaps it when it has ended).
bool itestIsRunning(ITestService& service);

// The whole log so far (all dated files of the log folder, CR removed).
std::string itestReadLog(const ITestService& service);
// The program's standard output and error so far.
std::string itestReadOutput(const ITestService& service);
// Number of lines of the log that contain the text.
int itestCountLogLines(const ITestService& service, const std::string& text);

// ---------------------------------------------------------------------------
// Ports
// ---------------------------------------------------------------------------

// Chooses count ports free on 127.0.0.1 and ::1, outside the range the kernel
// hands out to clients, each held by a lock file (outLockFds) so that parallel
// tests never pick the same one. Close the descriptors to give them back.
std::vector<int> itestFreePorts(int count, std::vector<int>* outLockFds);
// Opens a listening TCP socket on 127.0.0.1 (or ::1); the descriptor or -1.
int itestOccupyPort(int port, bool ipv6);

// ---------------------------------------------------------------------------
// Calling the service
// ---------------------------------------------------------------------------

struct ITestCall {
    int port = 0;
    bool ipv6 = false;             // connect to ::1 instead of 127.0.0.1
    std::string urlHost = "localhost"; // host of the URL (and of the certificate check)
    std::string method = "POST";
    std::string path = "/";
    std::string body;              // sent as is for POST
    std::string contentType = "application/x-www-form-urlencoded";
    std::optional<std::string> origin;
    std::optional<std::string> referer;
    std::optional<std::string> host; // replaces the Host header
    std::vector<std::string> headers; // further "Name: value" lines
    long tlsMin = 0;               // CURL_SSLVERSION_* (0: library default)
    long tlsMax = 0;               // CURL_SSLVERSION_MAX_* (0: library default)
    bool verifyPeer = true;        // trust only the built roots
    std::string localAddress;      // source address of the connection ("" any)
    long timeoutSeconds = 120;
};

struct ITestReply {
    int curlCode = -1;             // CURLcode; 0 when a response came back
    std::string curlError;
    long status = 0;
    std::vector<std::pair<std::string, std::string>> headers; // in arrival order
    std::string body;

    bool transportOk() const { return curlCode == 0; }
    // First header of that name (case-insensitive), or nothing.
    std::optional<std::string> header(const std::string& name) const;
};

// A file holding the built root certificates (the roots in the bin folder),
// made once per process; "" when the build has none yet.
std::string itestRootBundle();

// One HTTPS request as described.
ITestReply itestRequest(const ITestCall& call);
// A call as a page makes it: the JSON text Base64-encoded and percent-encoded
// into the form field "Parameter", posted with call's headers.
ITestReply itestPostCall(const std::string& json, const ITestCall& call);
// The form body "Parameter=<percent-encoded Base64 of json>".
std::string itestEncodeParameter(const std::string& json);

// The answer body (a flat JSON object of Base64 texts) decoded to plain
// values. Nothing when the body is not such an object.
std::optional<std::map<std::string, std::string>> itestDecodeAnswer(const std::string& body);

std::string itestBase64Encode(const std::string& data);
std::optional<std::string> itestBase64Decode(const std::string& text);
std::string itestPercentEncode(const std::string& text); // everything but A-Z a-z 0-9 - . _ ~

// ---------------------------------------------------------------------------
// Outside programs
// ---------------------------------------------------------------------------

struct ITestCommandResult {
    int exitCode = -1;   // exit code, 128 + signal, or -1 when it could not start
    std::string output;  // standard output and error together
};
// Runs a program (argv[0] looked up in PATH) with standard input from
// /dev/null, waiting at most timeoutSeconds (then killed).
ITestCommandResult itestRunCommand(const std::vector<std::string>& argv, int timeoutSeconds = 120);

// gnutls-cli handshake against the service with the priority string, trusting
// only the built roots; exit code 0 when the handshake succeeded.
ITestCommandResult itestTlsHandshake(int port, bool ipv6, const std::string& priority);

// Skips the current test when the build has no root certificates yet.
#define ITEST_REQUIRE_TLS_ROOTS()                                                   \
    do {                                                                            \
        if (itestRootBundle().empty())                                              \
            GTEST_SKIP() << "no root certificates in " << itestBinDir() << " yet"; \
    } while (0)
