// The FTP client against a real server, Debian's vsftpd on a free loopback
// port, one for the whole program: the informational commands, listings,
// transfers in both modes and the fallback between them, the one-call
// download, uploads as the local user with rename and delete, rate limits.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "tests/ftp/ftp_test_common.h"
#include "tests/kuvnet/endpoint_fixtures.h"

namespace {

using namespace kuv_ftp_test;
using kuv_test::OutputCapture;

const std::vector<std::pair<std::string, std::string>> kFiles = {
    {"a.txt", "alpha\n"}, {"b.bin", pattern_bytes(300000, 2)}, {"empty", ""}};

// A server with kFiles in the directory pub of its anonymous area.
std::unique_ptr<VsftpdServer> start_server(VsftpdOptions options = {}) {
    auto server = std::make_unique<VsftpdServer>(options);
    const std::string pub = server->anon_dir() + "/pub";
    if (server->failure().empty() && mkdir(pub.c_str(), 0755) == 0)
        for (const auto &[name, bytes] : kFiles)
            write_file(pub + "/" + name, bytes);
    return server;
}

class Vsftpd : public kuv_test::ResourceCheckedTest {
  protected:
    static void SetUpTestSuite() { server_ = start_server().release(); }
    static void TearDownTestSuite() { delete server_; }
    void SetUp() override {
        ResourceCheckedTest::SetUp();
        if (!server_->failure().empty()) GTEST_SKIP() << "no FTP server: " << server_->failure();
    }
    static inline VsftpdServer *server_ = nullptr;
};

// A host name longer than the control endpoint can hold is refused: cut to
// what fits, it named another host (here the server's, in a hosts file of
// the test's own), which got the session and the password.
TEST_F(Vsftpd, AHostNameTooLongToKeepWholeIsRefused) {
    const std::string fits = std::string(60, 'a') + "." + std::string(60, 'b') + ".ccccc";
    const std::string hosts = kuv_test::unique_path("hosts");
    write_file(hosts, "127.0.0.1 localhost\n127.0.0.1 " + fits + "\n");
    const std::string setup = "mount --bind " + hosts + " /etc/hosts";
    const int port = server_->port();
    EXPECT_CHILD_PASSES(CLONE_NEWNS, setup.c_str(), [&]() -> std::string {
        Client whole, longer;
        std::string failed;
        if (!whole.open(port, true, fits.c_str())) failed += "the name that fits failed; ";
        if (longer.open(port, true, (fits + "x.invalid").c_str()))
            failed += "the cut name served; ";
        return failed;
    });
    unlink(hosts.c_str());
}

// The modes in which the client, without fallback, fails to fetch pub/a.txt
// whole ("" when both work).
std::string modes_failing_a_txt(Client &client) {
    std::string failed;
    client->mode_fallback = 0;
    for (const uint32_t passive : {1u, 0u}) {
        client->passive = passive;
        if (client.retrieve("pub/a.txt") != "alpha\n") failed += passive ? "passive " : "active ";
    }
    return failed;
}

// A server reached at an address that IPv6 writes in a form of its own.
// At its IPv4-mapped address an IPv4 server talks IPv4: an active
// transfer must announce the listener in IPv4 terms. At a link-local
// address (in a network of the test's own where a veth pair gives the
// link) the data connection of each mode must name the control
// connection's interface too, or it reaches no link.
TEST_F(Vsftpd, ServerAtAMappedOrLinkLocalAddressTransfersInBothModes) {
    Client mapped;
    ASSERT_TRUE(mapped.open(server_->port(), true, "::ffff:127.0.0.1"));
    EXPECT_EQ(modes_failing_a_txt(mapped), "");
    const char *setup =
        "ip link set lo up && echo 0 > /proc/sys/net/ipv6/conf/default/accept_dad && "
        "ip link add kv0 type veth peer name kv1 && ip link set kv0 up && ip link set kv1 up";
    EXPECT_CHILD_PASSES(CLONE_NEWNET, setup, []() -> std::string {
        std::string address;
        for (int tries = 0; tries < 100 && address.empty(); ++tries) {
            nic *list = kuv_xapi_open_nic(), *veth = kuv_xapi_search_nic_by_name(list, "kv0");
            if (veth && veth->ipv6_list) address = veth->ipv6_list->address_text;
            kuv_xapi_close_nic(list);
            if (address.empty()) usleep(50000);
        }
        VsftpdOptions options;
        options.ipv6 = options.every_ipv6_address = true;
        const auto server = start_server(options);
        if (address.empty() || !server->failure().empty())
            return "SKIP: no link-local server: " + server->failure();
        Client client;
        if (!client.open(server->port(), true, (address + "%kv0").c_str())) return "no session";
        return modes_failing_a_txt(client);
    });
}

TEST_F(Vsftpd, AnswersListsAndTransfersInBothModesAndFallsBackFromARefusedOne) {
    Client client;
    ASSERT_TRUE(client.open(server_->port()));
    EXPECT_EQ(client->syst(client.ftp), 1);
    EXPECT_STREQ(client->system_type, "UNIX Type: L8");
    EXPECT_EQ(client->cwd(client.ftp, "%s", "pub"), 1);
    uint64_t size = 0;
    EXPECT_EQ(client->size(client.ftp, &size, "%s", "b.bin"), 1);
    EXPECT_EQ(size, 300000u);
    EXPECT_EQ(client->size(client.ftp, &size, "%s", "missing") +
                  client->cwd(client.ftp, "%s", "missing") + client->type(client.ftp, "Z"),
              0);
    EXPECT_EQ(client->cwd(client.ftp, "%s", ".."), 1) << "CDUP";
    char *path = nullptr;
    EXPECT_EQ(client->pwd(client.ftp, &path), 1);
    EXPECT_STREQ(path, "/");
    kuv_xapi_free(path);
    // Both modes without a fallback between them (the extended commands of
    // IPv6 are taken at the mapped and the link-local address).
    ASSERT_EQ(client->type(client.ftp, "I"), 1);
    for (uint32_t passive : {1u, 0u}) {
        client->passive = passive;
        ASSERT_EQ(client->nlist(client.ftp, "%s", "pub"), 1);
        std::vector<std::string> names = drain(client->get_nlist, client.ftp);
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"pub/a.txt", "pub/b.bin", "pub/empty"}));
        ASSERT_EQ(client->list(client.ftp, "%s", "pub"), 1);
        const std::vector<std::string> lines = drain(client->get_list, client.ftp);
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_TRUE(lines[1].ends_with(" b.bin") && lines[1].find(" 300000 ") != lines[1].npos)
            << lines[1];
        EXPECT_TRUE(client.retrieve("pub/b.bin") == kFiles[1].second) << "passive " << passive;
        EXPECT_EQ(client.retrieve("pub/b.bin", 299990), kFiles[1].second.substr(299990));
        EXPECT_EQ(client.retrieve("pub/empty"), "");
        EXPECT_EQ(client->passive, passive) << "no fallback was needed";
        // A count where bytes * 1000 passes 64 bits: the rate still follows
        // from the count and the time instead of wrapping to a small value.
        // (A buffer_limit of 1 leaves all but one chunk for the reads.)
        client->buffer_limit = 1;
        ASSERT_EQ(client->open_stream(client.ftp, 0, "RETR %s\r\n", "pub/b.bin"), 1);
        client->transfer_bytes = UINT64_MAX / 1000;
        EXPECT_TRUE(client.read_to_end() == kFiles[1].second);
        client->buffer_limit = KUV_FTP_DEFAULT_BUFFER_LIMIT;
        EXPECT_GT(client->transfer_bytes, UINT64_MAX / 1000);
        EXPECT_GE(client->transfer_rate,
                  client->transfer_bytes / (client->transfer_elapsed / 1000 + 1));
    }
    EXPECT_EQ(client->quit(client.ftp), 1);
    for (const bool passive_works : {false, true}) {
        const auto server = start_server({passive_works, !passive_works});
        Client fallback;
        ASSERT_TRUE(fallback.open(server->port()));
        fallback->passive = !passive_works;
        EXPECT_EQ(fallback.retrieve("pub/a.txt"), "alpha\n");
        EXPECT_EQ(fallback->passive, passive_works ? 1u : 0u);
        fallback->passive = !passive_works;
        fallback->mode_fallback = 0;
        EXPECT_EQ(fallback->open_stream(fallback.ftp, 0, "RETR %s\r\n", "pub/a.txt"), 0);
    }
    // Closing the first handle of a chain closes every connected one.
    kuv_ftp_t *first = kuv_xapi_open_ftp();
    first->next = kuv_xapi_open_ftp();
    for (kuv_ftp_t *ftp = first; ftp; ftp = ftp->next)
        EXPECT_TRUE(ftp->connect(ftp, "127.0.0.1", server_->port()) == 1 &&
                    ftp->login(ftp, nullptr, nullptr) == 1 && ftp->nlist(ftp, "%s", "pub") == 1);
    EXPECT_EQ(kuv_xapi_close_ftp(first), nullptr);
}

// Takes every free descriptor under a lowered limit but `spare` of them,
// for its scope.
class DescriptorsTaken {
  public:
    explicit DescriptorsTaken(int spare) {
        getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit lowered = saved_;
        lowered.rlim_cur = std::min<rlim_t>(saved_.rlim_cur, 256);
        setrlimit(RLIMIT_NOFILE, &lowered);
        for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
            taken_.push_back(fd);
        for (; spare > 0 && !taken_.empty(); --spare, taken_.pop_back())
            close(taken_.back());
    }
    ~DescriptorsTaken() {
        for (int fd : taken_)
            close(fd);
        setrlimit(RLIMIT_NOFILE, &saved_);
    }
    DescriptorsTaken(const DescriptorsTaken &) = delete;
    DescriptorsTaken &operator=(const DescriptorsTaken &) = delete;

  private:
    rlimit saved_{};
    std::vector<int> taken_;
};

// No descriptor for the data connection: in active mode the server's
// connection waits unaccepted (the transfer is no empty file), in passive
// mode the client has nothing to connect with, or the server's port
// refuses it (the transfer command is not sent into a server that would
// answer only once it gave up waiting). Each fails or falls back, and the
// session goes on in step.
TEST_F(Vsftpd, ADataConnectionThatCannotBeMadeFailsOrFallsBackAndTheSessionGoesOn) {
    for (const uint32_t passive : {0u, 1u}) {
        Client client;
        client->passive = passive;
        client->mode_fallback = 0;
        ASSERT_TRUE(client.open(server_->port()));
        ASSERT_EQ(client->type(client.ftp, "I"), 1);
        std::string got;
        {
            DescriptorsTaken taken(passive == 1 ? 0 : 1);  // one for the active listener
            got = client.retrieve("pub/b.bin");
        }
        EXPECT_TRUE(got == "{not opened}" || got == "{not closed cleanly}") << got.size();
        EXPECT_EQ(client->noop(client.ftp), 1) << "passive " << passive;
        EXPECT_TRUE(client.retrieve("pub/b.bin") == kFiles[1].second) << "passive " << passive;
        if (passive == 0) continue;
        client->mode_fallback = 1;
        client->data_port = free_loopback_port();
        EXPECT_EQ(client.retrieve("pub/a.txt"), "alpha\n");
        EXPECT_EQ(client->passive, 0u);
        EXPECT_EQ(client->noop(client.ftp), 1);
    }
}

TEST_F(Vsftpd, DownloadsEveryFileOfADirectoryOverwritesOnASecondRunAndKeeps64MiBIntact) {
    ScratchDirectory scratch;
    ASSERT_TRUE(scratch.ok);
    // Its result and what it printed.
    const auto download = [](const char *path, long long port = server_->port()) {
        Client client;
        OutputCapture output(1);
        const int32_t result =
            client->download(client.ftp, 0640, "ftp://127.0.0.1:%lld/%s", port, path);
        return std::pair{result, output.finish()};
    };
    for (const char *outcome : {", CREATE)\n", ", OVERWRITE)\n"}) {
        const auto [result, printed] = download("pub/");
        EXPECT_EQ(result, 1) << printed;
        for (const auto &[name, bytes] : kFiles)
            EXPECT_TRUE(read_file(name) == bytes) << name;
        // The progress lines are read by people and scripts: their form stays.
        for (const char *line : {"Downloading \"pub/b.bin \" to \"b.bin\"(300000 bytes)\n",
                                 "Result: \"OK\" (Elapsed=00:0", outcome})
            EXPECT_NE(printed.find(line), printed.npos) << line << printed;
    }
    struct stat status;
    ASSERT_EQ(stat("a.txt", &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0640u);
    // The server's port plus 2^32 is no port, though it wraps to this one.
    EXPECT_EQ(download("pub/a.txt", server_->port() + 4294967296LL).first, 0);
    const std::string big = pattern_bytes(64u << 20, 64);
    ASSERT_TRUE(write_file(server_->anon_dir() + "/big.bin", big));
    EXPECT_EQ(download("big.bin").first, 1);
    EXPECT_TRUE(read_file("big.bin") == big) << "the 64 MiB differ";
}

TEST_F(Vsftpd, UploadsRenamesAndDeletesAsTheLocalUserAndHoldsRateLimits) {
    const std::string bytes = pattern_bytes(4u << 20, 9);
    Client client;
    ASSERT_TRUE(client.open(server_->port(), false));
    ASSERT_EQ(client->login(client.ftp, kLocalUser, kLocalPassword), 1);
    ASSERT_EQ(client->type(client.ftp, "I"), 1);
    // Both modes, then passive at 8,000,000 bits per second: 1,000,000 bytes
    // per one-second window, so 4 MiB need five windows, about four seconds.
    uint64_t upload_msec = 0;
    for (const auto &[passive, limit] : {std::pair{1u, 0u}, {0u, 0u}, {1u, 8000000u}}) {
        client->passive = passive;
        client->upload_rate_limit = limit;
        ASSERT_EQ(client->open_stream(client.ftp, 0, "STOR %s\r\n", "up.bin"), 1);
        // Written in pieces of different sizes.
        for (size_t at = 0, piece = 1000; at < bytes.size(); at += piece, piece *= 3) {
            const size_t count = std::min(piece, bytes.size() - at);
            ASSERT_EQ(client->write_stream(client.ftp, bytes.data() + at, count),
                      static_cast<int32_t>(count));
        }
        upload_msec = client->transfer_elapsed;
        // The end is graceful: the server has every byte.
        EXPECT_EQ(client->write_stream(client.ftp, nullptr, 0), 0);
        EXPECT_EQ(client->close_stream(client.ftp), 1);
        EXPECT_TRUE(read_file(server_->local_dir() + "/up.bin") == bytes) << passive << limit;
    }
    client->upload_rate_limit = 0;
    client->download_rate_limit = 8000000;
    EXPECT_TRUE(client.retrieve(server_->local_dir() + "/up.bin") == bytes);
    // Only a loose lower bound holds whatever the machine's load.
    EXPECT_GE(client->transfer_elapsed, 3000u);
    EXPECT_GE(upload_msec, 3000u);
    EXPECT_EQ(client->rnfr(client.ftp, "%s", "up.bin") + client->rnto(client.ftp, "renamed.bin") +
                  client->dele(client.ftp, "%s", "renamed.bin"),
              3);
    EXPECT_EQ(client->dele(client.ftp, "%s", "renamed.bin") + client->rnfr(client.ftp, "missing"),
              0);
}

}  // namespace
