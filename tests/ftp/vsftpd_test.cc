// The FTP client against a real server, Debian's vsftpd, started for each
// test on a free loopback port: log-in both ways, the informational
// commands, listings, transfers in both modes and the fallback between
// them, the one-call download, a large file, uploads with rename and
// delete, rate limits, and closing a chain of connected handles.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "tests/ftp/ftp_test_common.h"

namespace {

using kuv_ftp_test::Client;
using kuv_ftp_test::ScratchDirectory;
using kuv_ftp_test::VsftpdOptions;
using kuv_ftp_test::VsftpdServer;
using kuv_test::OutputCapture;

class Vsftpd : public kuv_test::ResourceCheckedTest {
  protected:
    virtual VsftpdOptions options() const { return {}; }

    void SetUp() override {
        server_ = std::make_unique<VsftpdServer>(options());
        if (!server_->failure().empty())
            GTEST_SKIP() << "no FTP server to test against: " << server_->failure();
        const std::string pub = server_->anon_dir() + "/pub";
        mkdir(pub.c_str(), 0755);
        for (const auto &[name, bytes] : files_)
            ASSERT_TRUE(kuv_ftp_test::write_file(pub + "/" + name, bytes));
        checking_ = true;
        ResourceCheckedTest::SetUp();
    }
    void TearDown() override {
        if (checking_) ResourceCheckedTest::TearDown();
        server_.reset();
    }

    // Connects a client and logs in, anonymously or as the local user.
    bool open(Client &client, bool local = false) const {
        if (!local) return client.open(server_->port());
        return client.open(server_->port(), false) &&
               client->login(client.ftp, kuv_ftp_test::kLocalUser, kuv_ftp_test::kLocalPassword) ==
                   1;
    }

    std::unique_ptr<VsftpdServer> server_;
    bool checking_ = false;
    const std::vector<std::pair<std::string, std::string>> files_ = {
        {"a.txt", "alpha\n"},
        {"b.bin", kuv_ftp_test::pattern_bytes(300000, 2)},
        {"empty", ""},
    };
};

using kuv_ftp_test::count_of;
using kuv_ftp_test::drain;

TEST_F(Vsftpd, LogsInAnonymouslyAndAsALocalUser) {
    Client anonymous;
    ASSERT_EQ(anonymous->connect(anonymous.ftp, "127.0.0.1", server_->port()), 1);
    EXPECT_EQ(anonymous->reply_code, 220);
    EXPECT_STREQ(anonymous->reply_text, "(vsFTPd 3.0.3)");
    EXPECT_EQ(anonymous->login(anonymous.ftp, nullptr, nullptr), 1);
    EXPECT_EQ(anonymous->reply_code, 230);
    Client local;
    EXPECT_TRUE(open(local, true));
    Client refused;
    // The refusal comes only after the log-in delays of the server and PAM.
    refused->control_timeout = 15000;
    ASSERT_EQ(refused->connect(refused.ftp, "127.0.0.1", server_->port()), 1);
    EXPECT_EQ(refused->login(refused.ftp, kuv_ftp_test::kLocalUser, "wrong"), 0);
    EXPECT_EQ(refused->reply_code, 530);
}

TEST_F(Vsftpd, AnswersAboutItselfAndItsDirectories) {
    Client client;
    ASSERT_TRUE(open(client));
    EXPECT_EQ(client->syst(client.ftp), 1);
    EXPECT_STREQ(client->system_type, "UNIX Type: L8");
    char *path = nullptr;
    EXPECT_EQ(client->pwd(client.ftp, &path), 1);
    EXPECT_STREQ(path, "/");
    kuv_xapi_free(path);
    EXPECT_EQ(client->cwd(client.ftp, "%s", "pub"), 1);
    EXPECT_EQ(client->pwd(client.ftp, &path), 1);
    EXPECT_STREQ(path, "/pub");
    kuv_xapi_free(path);
    EXPECT_EQ(client->type(client.ftp, nullptr), 1);
    uint64_t size = 0;
    EXPECT_EQ(client->size(client.ftp, &size, "%s", "b.bin"), 1);
    EXPECT_EQ(size, 300000u);
    EXPECT_EQ(client->size(client.ftp, &size, "%s", "missing"), 0);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(client->cwd(client.ftp, "%s", ".."), 1);
    EXPECT_EQ(client->pwd(client.ftp, &path), 1);
    EXPECT_STREQ(path, "/");
    kuv_xapi_free(path);
    EXPECT_EQ(client->cwd(client.ftp, "%s", "missing"), 0);
    EXPECT_EQ(client->type(client.ftp, "A"), 1);
    EXPECT_EQ(client->type(client.ftp, "Z"), 0);
    EXPECT_EQ(client->noop(client.ftp), 1);
    EXPECT_EQ(client->quit(client.ftp), 1);
    // The server closes the connection behind its 221.
    client->disconnect(client.ftp);
    EXPECT_EQ(client->control_socket, -1);
}

// Listings and transfers in both modes, without a fallback between them.
void list_and_transfer_in_both_modes(const Client &client, const std::string &file) {
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
        EXPECT_NE(lines[1].find(" 300000 "), std::string::npos) << lines[1];
        EXPECT_EQ(lines[1].substr(lines[1].size() - 5), "b.bin");
        EXPECT_EQ(client.retrieve("pub/b.bin"), file) << "passive " << passive;
        EXPECT_EQ(client.retrieve("pub/empty"), "");
        EXPECT_EQ(client->passive, passive) << "no fallback was needed";
        // A missing file is refused in both modes.
        EXPECT_EQ(client->open_stream(client.ftp, 0, "RETR %s\r\n", "pub/missing"), 0);
        client->passive = passive;
    }
}

TEST_F(Vsftpd, ListsAndTransfersInBothModes) {
    Client client;
    ASSERT_TRUE(open(client));
    list_and_transfer_in_both_modes(client, files_[1].second);
    // A restart offset skips the front of the file.
    ASSERT_EQ(client->open_stream(client.ftp, 299990, "RETR %s\r\n", "pub/b.bin"), 1);
    EXPECT_EQ(client.read_all(), files_[1].second.substr(299990));
    EXPECT_EQ(client->close_stream(client.ftp), 1);
}

class VsftpdIpv6 : public Vsftpd {
    VsftpdOptions options() const override { return {true, true, true}; }
};

TEST_F(VsftpdIpv6, ExtendedCommandsCarryListingsAndTransfersInBothModes) {
    Client client;
    ASSERT_TRUE(client.open(server_->port(), true, "::1"));
    EXPECT_EQ(client->family, 10u);
    list_and_transfer_in_both_modes(client, files_[1].second);
}

class VsftpdWithoutPassive : public Vsftpd {
    VsftpdOptions options() const override { return {false, true}; }
};
class VsftpdWithoutActive : public Vsftpd {
    VsftpdOptions options() const override { return {true, false}; }
};

TEST_F(VsftpdWithoutPassive, PassiveTransfersFallBackToActiveMode) {
    Client client;
    ASSERT_TRUE(open(client));
    client->passive = 1;
    EXPECT_EQ(client.retrieve("pub/a.txt"), "alpha\n");
    EXPECT_EQ(client->passive, 0u);
    client->passive = 1;
    client->mode_fallback = 0;
    EXPECT_EQ(client->open_stream(client.ftp, 0, "RETR %s\r\n", "pub/a.txt"), 0);
}

TEST_F(VsftpdWithoutActive, ActiveTransfersFallBackToPassiveMode) {
    Client client;
    ASSERT_TRUE(open(client));
    client->passive = 0;
    EXPECT_EQ(client.retrieve("pub/a.txt"), "alpha\n");
    EXPECT_EQ(client->passive, 1u);
}

TEST_F(Vsftpd, DownloadsEveryFileOfADirectoryAndOverwritesOnASecondRun) {
    ScratchDirectory scratch;
    ASSERT_TRUE(scratch.ok());
    for (int run = 0; run < 2; ++run) {
        Client client;
        OutputCapture output(1);
        const int32_t result =
            client->download(client.ftp, 0640, "ftp://127.0.0.1:%d/pub/", server_->port());
        const std::string printed = output.finish();
        EXPECT_EQ(result, 1) << printed;
        for (const auto &[name, bytes] : files_)
            EXPECT_EQ(kuv_ftp_test::read_file(name), bytes) << name;
        EXPECT_NE(printed.find("Downloading \"pub/b.bin \" to \"b.bin\"(300000 bytes)\n"),
                  std::string::npos)
            << printed;
        EXPECT_EQ(count_of(printed, "Result: \"OK\" (Elapsed=00:0"), 3u);
        EXPECT_EQ(count_of(printed, run == 0 ? ", CREATE)\n" : ", OVERWRITE)\n"), 3u);
        EXPECT_STREQ(client->system_type, "UNIX TYPE: L8");
        EXPECT_NE(client->control_socket, -1) << "the download leaves the session open";
    }
    struct stat status;
    ASSERT_EQ(stat("a.txt", &status), 0);
    EXPECT_EQ(status.st_mode & 0777 & ~0640, 0u);
}

TEST_F(Vsftpd, DownloadsA64MiBFileIntact) {
    const std::string big = kuv_ftp_test::pattern_bytes(64u << 20, 64);
    ASSERT_TRUE(kuv_ftp_test::write_file(server_->anon_dir() + "/big.bin", big));
    ScratchDirectory scratch;
    ASSERT_TRUE(scratch.ok());
    Client client;
    client->passive = 1;
    OutputCapture output(1);
    const int32_t result =
        client->download(client.ftp, 0644, "ftp://127.0.0.1:%d/big.bin", server_->port());
    const std::string printed = output.finish();
    EXPECT_EQ(result, 1) << printed;
    EXPECT_TRUE(kuv_ftp_test::read_file("big.bin") == big) << "the bytes differ";
    EXPECT_EQ(client->transfer_bytes, big.size());
    std::printf("64 MiB in %llu ms (%llu bytes/s)\n",
                static_cast<unsigned long long>(client->transfer_elapsed),
                static_cast<unsigned long long>(client->transfer_rate));
}

TEST_F(Vsftpd, UploadsRenamesAndDeletesAsTheLocalUser) {
    const std::string bytes = kuv_ftp_test::pattern_bytes(1 << 20, 5);
    Client client;
    ASSERT_TRUE(open(client, true));
    ASSERT_EQ(client->type(client.ftp, "I"), 1);
    for (uint32_t passive : {1u, 0u}) {
        client->passive = passive;
        ASSERT_EQ(client->open_stream(client.ftp, 0, "STOR %s\r\n", "up.bin"), 1);
        // Written in pieces of different sizes.
        for (size_t at = 0, piece = 1000; at < bytes.size(); at += piece, piece *= 3)
            ASSERT_EQ(client->write_stream(client.ftp, bytes.data() + at,
                                           std::min(piece, bytes.size() - at)),
                      static_cast<int32_t>(std::min(piece, bytes.size() - at)));
        EXPECT_EQ(client->write_stream(client.ftp, nullptr, 0), 0);
        EXPECT_EQ(client->close_stream(client.ftp), 1);
        EXPECT_TRUE(kuv_ftp_test::read_file(server_->local_dir() + "/up.bin") == bytes)
            << "passive " << passive;
    }
    EXPECT_EQ(client->rnfr(client.ftp, "%s", "up.bin"), 1);
    EXPECT_EQ(client->rnto(client.ftp, "%s", "renamed.bin"), 1);
    uint64_t size = 0;
    EXPECT_EQ(client->size(client.ftp, &size, "%s", "renamed.bin"), 1);
    EXPECT_EQ(size, bytes.size());
    EXPECT_EQ(client->dele(client.ftp, "%s", "renamed.bin"), 1);
    EXPECT_EQ(client->size(client.ftp, &size, "%s", "renamed.bin"), 0);
    EXPECT_EQ(client->dele(client.ftp, "%s", "renamed.bin"), 0);
    EXPECT_EQ(client->rnfr(client.ftp, "%s", "missing"), 0);
}

TEST_F(Vsftpd, RateLimitsHoldTransfersToTheirBudget) {
    // 8,000,000 bits per second are 1,000,000 bytes per one-second window:
    // 4 MiB need five windows, so at least four whole seconds pass.
    const std::string bytes = kuv_ftp_test::pattern_bytes(4u << 20, 9);
    ASSERT_TRUE(kuv_ftp_test::write_file(server_->anon_dir() + "/four.bin", bytes));
    Client client;
    ASSERT_TRUE(open(client, true));
    ASSERT_EQ(client->type(client.ftp, "I"), 1);
    client->passive = 1;
    client->download_rate_limit = 8000000;
    EXPECT_TRUE(client.retrieve(server_->anon_dir() + "/four.bin") == bytes);
    const uint64_t download_msec = client->transfer_elapsed;
    client->download_rate_limit = 0;
    client->upload_rate_limit = 8000000;
    ASSERT_EQ(client->open_stream(client.ftp, 0, "STOR %s\r\n", "four.bin"), 1);
    EXPECT_EQ(client->write_stream(client.ftp, bytes.data(), bytes.size()),
              static_cast<int32_t>(bytes.size()));
    const uint64_t upload_msec = client->transfer_elapsed;
    EXPECT_EQ(client->write_stream(client.ftp, nullptr, 0), 0);
    EXPECT_EQ(client->close_stream(client.ftp), 1);
    EXPECT_TRUE(kuv_ftp_test::read_file(server_->local_dir() + "/four.bin") == bytes);
    std::printf("4 MiB at 8,000,000 bits/s: download %llu ms, upload %llu ms\n",
                static_cast<unsigned long long>(download_msec),
                static_cast<unsigned long long>(upload_msec));
    // Only the lower bound holds whatever the machine's load.
    EXPECT_GE(download_msec, 3000u);
    EXPECT_GE(upload_msec, 3000u);
}

TEST_F(Vsftpd, CloseReleasesAChainOfConnectedHandles) {
    kuv_ftp_t *first = kuv_xapi_open_ftp();
    kuv_ftp_t *last = first;
    for (int more = 0; more < 2; ++more)
        last = last->next = kuv_xapi_open_ftp();
    for (kuv_ftp_t *ftp = first; ftp; ftp = ftp->next) {
        ftp->control_timeout = 3000;
        ASSERT_EQ(ftp->connect(ftp, "127.0.0.1", server_->port()), 1);
        ASSERT_EQ(ftp->login(ftp, nullptr, nullptr), 1);
        ASSERT_EQ(ftp->nlist(ftp, "%s", "pub"), 1);
    }
    EXPECT_EQ(kuv_xapi_close_ftp(first), nullptr);
}

}  // namespace
