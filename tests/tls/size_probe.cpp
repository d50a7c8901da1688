// Connects to 127.0.0.1:PORT, makes the TLS handshake for HOST and writes one line: the smallest
// program that uses feed_tls. Built also without TLS (a plain write) to measure what TLS adds.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#ifndef SIZE_PROBE_WITHOUT_TLS
#include "feed_tls.h"
#endif
#include "transport.h"

int main(int argc, char **argv)
{
    if (argc < 3)
        return 2;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)atoi(argv[1]));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, (struct sockaddr *)&addr, sizeof addr) != 0)
        return 1;
    static const unsigned char LINE[] = "hello\n";
    long long deadline = feed_transport_now_ms() + 10000;
#ifdef SIZE_PROBE_WITHOUT_TLS
    (void)deadline;
    int status = write(fd, LINE, sizeof LINE - 1) == (ssize_t)(sizeof LINE - 1) ? 0 : 1;
    close(fd);
    return status;
#else
    FeedTlsConfig config = {argv[2], argc > 3 ? argv[3] : NULL, NULL, NULL, NULL};
    FeedTransport transport;
    char error[FEED_TLS_ERROR_MAX];
    if (feed_tls_open(&config, fd, deadline, &transport, error, sizeof error) != 0) {
        fprintf(stderr, "%s\n", error);
        return 1;
    }
    int status = transport.write_all(transport.ctx, LINE, sizeof LINE - 1, deadline) == 0 ? 0 : 1;
    transport.close(transport.ctx);
    return status;
#endif
}
