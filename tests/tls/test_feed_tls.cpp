/*
 * The TLS client against openssl s_server on 127.0.0.1: the certificates are
 * made here with openssl (EC P-256, a CA and a second, unrelated CA), and each
 * case starts its own server. A connection that succeeds writes a line and
 * reads it back reversed (s_server -rev); one that fails must name its cause.
 */
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ostream>
#include <string>

#include "feed_tls.h"
#include "harness.h"

namespace {

/* Makes the certificates in dir; "expired" and "future" carry fixed dates through `openssl ca`. */
const char kMakeCertificates[] = R"(set -e
cd "$1"
ec() { openssl ecparam -name prime256v1 -genkey -noout -out "$1" 2>/dev/null; }
printf 'basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n' > ca.ext
printf 'subjectAltName=DNS:localhost\nbasicConstraints=CA:FALSE\n' > server.ext
printf 'basicConstraints=CA:FALSE\nextendedKeyUsage=clientAuth\n' > client.ext
for ca in ca other-ca; do
  ec $ca.key
  openssl req -new -x509 -key $ca.key -subj "/CN=Test $ca" -days 3650 -out $ca.pem \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
done
for leaf in server client; do
  ec $leaf.key
  openssl req -new -key $leaf.key -subj "/CN=$leaf.test" -out $leaf.csr
  openssl x509 -req -in $leaf.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 \
    -extfile $leaf.ext -out $leaf.pem 2>/dev/null
done
cat > ca.cnf <<CNF
[ca]
default_ca = test
[test]
database = index.txt
new_certs_dir = .
serial = ca.serial
default_md = sha256
policy = any
unique_subject = no
[any]
commonName = supplied
CNF
: > index.txt
echo 1000 > ca.serial
sign() { openssl ca -batch -notext -config ca.cnf -cert ca.pem -keyfile ca.key -extfile server.ext \
  -in server.csr -out "$1" -startdate "$2" -enddate "$3" 2>/dev/null; }
sign expired.pem 20240101000000Z 20240102000000Z
sign future.pem 20990101000000Z 21000101000000Z
chmod 600 client.key
cp client.key readable.key
chmod 644 readable.key
)";

long long WallClockBeforeBuild()
{
    return feed_tls_build_epoch() - 86400;
}

struct TlsCase {
    const char *name;
    const char *serverCert;   /* of the server key, in the certificate folder */
    bool serverWantsClient;   /* s_server -Verify */
    const char *host;
    const char *cafile;       /* null: the default bundle under the root prefix (holds ca.pem) */
    const char *clientCert;   /* null: none */
    const char *clientKey;
    long long (*clock)(void); /* null: the system's */
    const char *error;        /* null: the line goes through; else part of the error text */
};

const TlsCase kCases[] = {
    {"GoodCaFromTheDefaultBundle", "server.pem", false, "localhost", nullptr, nullptr, nullptr, nullptr, nullptr},
    {"GoodCaGiven", "server.pem", false, "localhost", "ca.pem", nullptr, nullptr, nullptr, nullptr},
    {"WrongCa", "server.pem", false, "localhost", "other-ca.pem", nullptr, nullptr, nullptr,
     "not signed by a CA of"},
    {"WrongHostName", "server.pem", false, "camera.invalid", "ca.pem", nullptr, nullptr, nullptr,
     "not for host camera.invalid"},
    {"ExpiredServerCertificate", "expired.pem", false, "localhost", "ca.pem", nullptr, nullptr, nullptr,
     "expired or not yet valid"},
    {"ServerCertificateNotYetValid", "future.pem", false, "localhost", "ca.pem", nullptr, nullptr, nullptr,
     "expired or not yet valid"},
    {"ClientCertificateRequiredAndGiven", "server.pem", true, "localhost", "ca.pem", "client.pem", "client.key",
     nullptr, nullptr},
    {"ClientCertificateRequiredNotGiven", "server.pem", true, "localhost", "ca.pem", nullptr, nullptr, nullptr,
     "refused the handshake"},
    {"ReadableKeyFileRefused", "server.pem", true, "localhost", "ca.pem", "client.pem", "readable.key", nullptr,
     "can be read by others"},
    {"ClockBeforeTheBuildDate", "server.pem", false, "localhost", "ca.pem", nullptr, nullptr,
     WallClockBeforeBuild, "earlier than the build date"},
    {"MissingCaFile", "server.pem", false, "localhost", "absent.pem", nullptr, nullptr, nullptr,
     "cannot open"},
};

void PrintTo(const TlsCase &c, std::ostream *os)
{
    *os << c.name;
}

/* A free port on 127.0.0.1 (bound, then let go for the server). */
int FreePort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = -1;
    if (bind(fd, (struct sockaddr *)&addr, sizeof addr) == 0 && getsockname(fd, (struct sockaddr *)&addr, &len) == 0)
        port = ntohs(addr.sin_port);
    close(fd);
    return port;
}

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

/* A host program (openssl), started directly: never through the emulator. */
pid_t StartHost(const std::vector<std::string> &args, const std::string &output)
{
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(out, 2);
        std::vector<char *> argv;
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

class FeedTlsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        certs_ = new harness::TempDir();
        std::string script = certs_->sub("make.sh");
        harness::WriteFile(script, kMakeCertificates, 0755);
        ASSERT_EQ(system(("sh " + script + " " + certs_->path() + " >/dev/null 2>&1").c_str()), 0)
            << "openssl could not make the certificates";
    }
    static void TearDownTestSuite()
    {
        delete certs_;
        certs_ = nullptr;
    }

    void SetUp() override
    {
        harness::WriteFile(root_.sub("etc/ssl/certs/ca-certificates.crt"), harness::ReadFile(Cert("ca.pem")));
        setenv("OMBRELLE_ROOT", root_.path().c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("OMBRELLE_ROOT");
        if (server_ > 0) {
            kill(server_, SIGTERM);
            waitpid(server_, nullptr, 0);
        }
    }

    static std::string Cert(const std::string &name) { return certs_->sub(name); }

    /* Starts s_server and waits until it accepts; returns its port. */
    int StartServer(const TlsCase &c)
    {
        int port = FreePort();
        std::vector<std::string> args = {"openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(port),
                                         "-cert", Cert(c.serverCert), "-key", Cert("server.key"), "-rev"};
        if (c.serverWantsClient)
            args.insert(args.end(), {"-Verify", "1", "-CAfile", Cert("ca.pem")});
        std::string log = root_.sub("s_server.log");
        server_ = StartHost(args, log);
        EXPECT_TRUE(harness::WaitForFileContains(log, "ACCEPT", 10000)) << harness::ReadFile(log);
        return port;
    }

    /* Reads until a newline or the deadline; what came. */
    static std::string ReadLine(FeedTransport *transport, long long deadline)
    {
        std::string got;
        unsigned char buf[16];
        while (got.find('\n') == std::string::npos) {
            long n = transport->read_some(transport->ctx, buf, sizeof buf, deadline);
            if (n <= 0)
                break;
            got.append((const char *)buf, (size_t)n);
        }
        return got;
    }

    static harness::TempDir *certs_;
    harness::TempDir root_;
    pid_t server_ = -1;
};

harness::TempDir *FeedTlsTest::certs_ = nullptr;

class FeedTlsCases : public FeedTlsTest, public ::testing::WithParamInterface<TlsCase> {};

TEST_P(FeedTlsCases, ConnectsOrNamesTheCause)
{
    const TlsCase &c = GetParam();
    int fd = Connect(StartServer(c));
    ASSERT_GE(fd, 0);

    std::string cafile = c.cafile ? Cert(c.cafile) : "";
    std::string cert = c.clientCert ? Cert(c.clientCert) : "";
    std::string key = c.clientKey ? Cert(c.clientKey) : "";
    FeedTlsConfig config = {c.host, c.cafile ? cafile.c_str() : nullptr, c.clientCert ? cert.c_str() : nullptr,
                            c.clientKey ? key.c_str() : nullptr, c.clock};
    FeedTransport transport = {};
    char error[FEED_TLS_ERROR_MAX] = "";
    long long deadline = feed_transport_now_ms() + 20000;
    int status = feed_tls_open(&config, fd, deadline, &transport, error, sizeof error);

    if (c.error != nullptr) {
        EXPECT_EQ(status, -1);
        EXPECT_NE(std::string(error).find(c.error), std::string::npos) << error;
        EXPECT_EQ(std::string(error).rfind("TLS: ", 0), 0u) << error;
        printf("  %s\n", error);
        close(fd);
        return;
    }
    ASSERT_EQ(status, 0) << error;
    static const unsigned char kLine[] = "camera 17\n";
    ASSERT_EQ(transport.write_all(transport.ctx, kLine, sizeof kLine - 1, deadline), 0);
    EXPECT_EQ(ReadLine(&transport, deadline), "71 aremac\n");
    transport.close(transport.ctx);
}

/* A read that times out leaves the session usable: the MQTT session waits for PUBACKs that way. */
TEST_F(FeedTlsTest, ReadTimeoutKeepsTheSession)
{
    const TlsCase &c = kCases[1];
    int fd = Connect(StartServer(c));
    ASSERT_GE(fd, 0);
    std::string cafile = Cert(c.cafile);
    FeedTlsConfig config = {c.host, cafile.c_str(), nullptr, nullptr, nullptr};
    FeedTransport transport = {};
    char error[FEED_TLS_ERROR_MAX] = "";
    ASSERT_EQ(feed_tls_open(&config, fd, feed_transport_now_ms() + 20000, &transport, error, sizeof error), 0)
        << error;
    unsigned char buf[16];
    errno = 0;
    EXPECT_EQ(transport.read_some(transport.ctx, buf, sizeof buf, feed_transport_now_ms() + 200), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    static const unsigned char kLine[] = "ab\n";
    long long deadline = feed_transport_now_ms() + 20000;
    ASSERT_EQ(transport.write_all(transport.ctx, kLine, sizeof kLine - 1, deadline), 0);
    EXPECT_EQ(ReadLine(&transport, deadline), "ba\n");
    transport.close(transport.ctx);
}

INSTANTIATE_TEST_SUITE_P(Table, FeedTlsCases, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<TlsCase> &info) { return info.param.name; });

}  // namespace
