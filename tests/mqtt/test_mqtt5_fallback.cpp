/*
 * The MQTT 5 fallback against a broker that speaks 3.1.1 only: aedes
 * (tests/mqtt/aedes, installed by tools/install-deps) on 127.0.0.1. Our
 * level-5 CONNECT must get the answer that mqtt5_connack_wants_v311 reads as
 * "speak 3.1.1", and the 3.1.1 CONNECT that follows must be accepted.
 */
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "harness.h"
#include "mqtt_packet.h"

namespace {

/* aedes under node, a host program started directly; its stdin is a pipe whose end stops it. */
class AedesBroker {
public:
    AedesBroker()
    {
        int out[2], in[2];
        if (pipe(out) != 0 || pipe(in) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            close(in[1]);
            close(out[0]);
            execlp(OMBRELLE_NODE, OMBRELLE_NODE, OMBRELLE_AEDES_BROKER, "0", (char *)nullptr);
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        stdin_ = in[1];
        port_ = ReadPort(out[0]);
        close(out[0]);
    }
    ~AedesBroker()
    {
        if (stdin_ >= 0)
            close(stdin_);
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    int port() const { return port_; }

private:
    /* "listening PORT" within 20 s, or -1. */
    static int ReadPort(int fd)
    {
        std::string line;
        long deadline = harness::NowMs() + 20000;
        char c = 0;
        while (line.find('\n') == std::string::npos && harness::NowMs() < deadline) {
            struct pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, 500) <= 0)
                continue;
            if (read(fd, &c, 1) != 1)
                break;
            line += c;
        }
        int port = -1;
        return sscanf(line.c_str(), "listening %d", &port) == 1 ? port : -1;
    }

    pid_t pid_ = -1;
    int stdin_ = -1;
    int port_ = -1;
};

int Connect(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, (struct sockaddr *)&addr, sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

/* Sends a CONNECT and reads until one whole packet came, the server closed or 10 s passed. */
std::vector<uint8_t> Exchange(int port, const uint8_t *connect, int size, bool *closed)
{
    std::vector<uint8_t> got;
    *closed = false;
    int fd = Connect(port);
    if (fd < 0 || write(fd, connect, (size_t)size) != size)
        return got;
    long deadline = harness::NowMs() + 10000;
    for (;;) {
        MqttPacket packet;
        if (!got.empty() && mqtt_decode(got.data(), got.size(), &packet) != MQTT_DECODE_INCOMPLETE)
            break;
        struct pollfd p = {fd, POLLIN, 0};
        long left = deadline - harness::NowMs();
        if (left <= 0 || poll(&p, 1, (int)left) <= 0)
            break;
        uint8_t buf[256];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) {
            *closed = true;
            break;
        }
        got.insert(got.end(), buf, buf + n);
    }
    close(fd);
    return got;
}

TEST(Mqtt5Fallback, AedesRefusesLevelFiveAndAcceptsThreeOneOne)
{
    AedesBroker broker;
    ASSERT_GT(broker.port(), 0) << "aedes did not start: run tools/install-deps";

    MqttConnect connect = {"cam17", nullptr, nullptr, 60, 1};
    uint8_t out[128];
    int size = mqtt5_encode_connect(&connect, out, sizeof out);
    ASSERT_GT(size, 0);
    bool closed = false;
    std::vector<uint8_t> answer = Exchange(broker.port(), out, size, &closed);
    Mqtt5Packet packet;
    ASSERT_EQ(mqtt5_decode(answer.data(), answer.size(), &packet), MQTT_DECODE_OK)
        << answer.size() << " bytes, closed " << closed;
    EXPECT_EQ(packet.type, MQTT_CONNACK);
    EXPECT_EQ(packet.v311, 1);
    EXPECT_EQ(packet.reason_code, MQTT_CONNACK_BAD_PROTOCOL);
    EXPECT_EQ(mqtt5_connack_wants_v311(&packet), 1);

    size = mqtt_encode_connect(&connect, out, sizeof out);
    ASSERT_GT(size, 0);
    answer = Exchange(broker.port(), out, size, &closed);
    MqttPacket accepted;
    ASSERT_EQ(mqtt_decode(answer.data(), answer.size(), &accepted), MQTT_DECODE_OK);
    EXPECT_EQ(accepted.type, MQTT_CONNACK);
    EXPECT_EQ(accepted.return_code, MQTT_CONNACK_ACCEPTED);
}

}  // namespace
