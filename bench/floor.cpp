// The physical floor of our HTTPS stack: a libmicrohttpd + GnuTLS responder
// with the service's listener flags, priority string and credentials, that
// answers every POST with a fixed 200 body. The benchmark measures the service
// against it in the same run.
//
// Usage: kestrova_floor PORT [rsa]   (serves 127.0.0.1:PORT until SIGTERM)

#include "common/runtime/Tool.h"
#include "service/Key.h"
#include "service/QXWhiteBoxUtilCore.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char kBody[] = "{\"result\": \"MA==\"}";
int gDummy;

MHD_Result answer(void*, MHD_Connection* connection, const char*, const char* method, const char*,
                  const char*, size_t* uploadSize, void** slot) noexcept
{
    if (*slot == nullptr) {
        *slot = &gDummy;
        return MHD_YES;
    }
    if (*uploadSize != 0) {
        *uploadSize = 0; // the body is read and dropped
        return MHD_YES;
    }
    if (std::strcmp(method, "POST") != 0)
        return MHD_NO;
    MHD_Response* response = MHD_create_response_from_buffer(
        sizeof kBody - 1, const_cast<char*>(kBody), MHD_RESPMEM_PERSISTENT);
    if (response == nullptr)
        return MHD_NO;
    MHD_add_response_header(response, "X-XSS-Protection", "1; mode=block");
    MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return queued;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PORT [rsa]\n", argv[0]);
        return 2;
    }
    int port = std::atoi(argv[1]);
    // OS flags 0 pick the RSA pair, the Linux bit the EC pair.
    uint32_t flags = (argc > 2 && std::strcmp(argv[2], "rsa") == 0) ? 0u : 0x210000u;
    char* certificate = getServerCertificateFor(flags);
    char* key = getServerPrivateKeyFor(flags);
    if (certificate == nullptr || key == nullptr) {
        std::fprintf(stderr, "no credentials\n");
        return 1;
    }

    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const char* priorities = "NORMAL:!VERS-TLS-ALL:!SHA1:+VERS-TLS1.2:+VERS-TLS1.3";
    MHD_Daemon* daemon = MHD_start_daemon(
        MHD_USE_ERROR_LOG | MHD_USE_TLS | MHD_USE_INTERNAL_POLLING_THREAD,
        static_cast<uint16_t>(port), nullptr, nullptr, answer, nullptr, MHD_OPTION_SOCK_ADDR,
        reinterpret_cast<sockaddr*>(&address), MHD_OPTION_HTTPS_MEM_CERT, certificate,
        MHD_OPTION_HTTPS_MEM_KEY, key, MHD_OPTION_HTTPS_PRIORITIES, priorities, MHD_OPTION_END);
    char* keyBlock = key; // the final call overwrites the text and nulls the slot
    QXWhiteBoxResultFinal(&key);
    std::free(keyBlock);
    std::free(certificate);
    if (daemon == nullptr) {
        std::fprintf(stderr, "cannot listen on %d\n", port);
        return 1;
    }
    int received = 0;
    sigwait(&stopSignals, &received);
    MHD_stop_daemon(daemon);
    return 0;
}
