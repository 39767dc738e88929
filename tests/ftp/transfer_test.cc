// Data connections, streams, listings and the one-call download against a
// scripted server: where a passive connection goes, which passive replies
// are acted on, the fallback between the modes and the retry after a
// refused transfer, stalled reads, graceful upload ends, writes that lose
// their connection, endless listing lines, hostile names, cut transfers and
// local files that cannot be made or written.
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "support/test_support.h"
#include "tests/ftp/ftp_test_common.h"

namespace {

using kuv_ftp_test::Client;
using kuv_ftp_test::contains;
using kuv_ftp_test::exists;
using kuv_ftp_test::FakeFtp;
using kuv_ftp_test::FakeServer;
using kuv_ftp_test::ScratchDirectory;
using kuv_test::OutputCapture;

class FtpDataConnection : public kuv_test::ResourceCheckedTest {};
class FtpStream : public kuv_test::ResourceCheckedTest {};
class FtpListing : public kuv_test::ResourceCheckedTest {};
class FtpDownload : public kuv_test::ResourceCheckedTest {};

TEST_F(FtpDataConnection, PassiveConnectionsGoToTheControlPeerOnTheAnnouncedOrChosenPort) {
    FakeFtp script;
    script.files["f"] = "hello";
    // Nothing listens on 127.0.0.2: only the port may be taken from it.
    script.passive_replies = {"227 Entering Passive Mode (127,0,0,2,{p1,p2}).\r\n",
                              "227 Entering Passive Mode (127,0,0,1,0,1)\r\n"};
    script.data_port = kuv_ftp_test::free_loopback_port();
    FakeServer server(script);
    Client client;
    client->passive = 1;
    ASSERT_TRUE(client.open(server.port()));
    EXPECT_EQ(client.retrieve("f"), "hello");
    client->data_port = script.data_port;
    EXPECT_EQ(client.retrieve("f"), "hello") << "data_port replaces the announced port";
    EXPECT_EQ(client->passive, 1u);
}

TEST_F(FtpDataConnection, BytesLeftByAnAbandonedTransferNeverReachTheNextOne) {
    FakeFtp script;
    script.files = {{"big", std::string(300000, 'b')}, {"small", "small"}};
    FakeServer server(script);
    Client client;
    client->passive = 1;
    ASSERT_TRUE(client.open(server.port()));
    ASSERT_EQ(client->open_stream(client.ftp, 0, "RETR %s\r\n", "big"), 1);
    char area[100];
    while (client->read_stream(client.ftp, area, sizeof area) == 0)
        kuv_xapi_load_balance();
    EXPECT_GT(kuv_xapi_get_buffer_size(client->download_buffer), 0) << "bytes left behind";
    client->close_stream(client.ftp);
    EXPECT_EQ(client.retrieve("small"), "small");
}

TEST_F(FtpDataConnection, UnusablePassiveRepliesAreIgnoredAndActiveModeTakesOver) {
    FakeFtp script;
    script.files["f"] = "active";
    script.passive_replies = {
        "227 Entering Passive Mode 127,0,0,1,{p1,p2}\r\n",
        "227 Entering Passive Mode ) 127,0,0,1,{p1,p2}\r\n",
        "227 Entering Passive Mode (127,0,0,1,256,1)\r\n",
        "227 Entering Passive Mode (127,0,0,1,4)\r\n",
        "227 Entering Passive Mode (" + std::string(60, '1') + ",0,0,1,{p1,p2})\r\n",
        "229 Entering Extended Passive Mode (||{port}|)\r\n",
        "229 Entering Extended Passive Mode (|||{port})\r\n",
        "229 Entering Extended Passive Mode (|||" + std::string(50, '6') + "|)\r\n"};
    const size_t count = script.passive_replies.size();
    FakeServer server(script);
    Client client;
    ASSERT_TRUE(client.open(server.port()));
    for (size_t each = 0; each < count; ++each) {
        client->passive = 1;
        EXPECT_EQ(client.retrieve("f"), "active") << each;
        EXPECT_EQ(client->passive, 0u) << each;
    }
}

TEST_F(FtpDataConnection, OnlyTheFirstPassiveLineOfAReplyMakesAConnection) {
    int other_port = 0;
    const int other = kuv_ftp_test::listen_loopback(&other_port);
    const std::string other_227 =
        std::to_string(other_port / 256) + "," + std::to_string(other_port % 256);
    FakeFtp script;
    script.files["f"] = "first";
    script.passive_replies = {
        "227-Entering Passive Mode (127,0,0,1,{p1,p2})\r\n"
        "227-Entering Passive Mode (127,0,0,1," +
        other_227 +
        ")\r\n"
        "229 Entering Extended Passive Mode (|||" +
        std::to_string(other_port) + "|)\r\n"};
    {
        FakeServer server(script);
        Client client;
        client->passive = 1;
        ASSERT_TRUE(client.open(server.port()));
        EXPECT_EQ(client.retrieve("f"), "first");
    }
    pollfd pending{other, POLLIN, 0};
    EXPECT_EQ(poll(&pending, 1, 200), 0) << "a later passive line was followed";
    close(other);
}

TEST_F(FtpDataConnection, ARefusedTransferIsTriedOnceMoreInTheOtherMode) {
    for (const char *refusal : {"425 cannot open\r\n", "426 aborted\r\n", "550 not now\r\n"}) {
        FakeFtp script;
        script.files["f"] = "second try";
        script.refusals = {refusal};
        FakeServer server(script);
        Client client;
        client->passive = 1;
        ASSERT_TRUE(client.open(server.port()));
        EXPECT_EQ(client.retrieve("f"), "second try") << refusal;
        EXPECT_EQ(client->passive, 0u);
        client->disconnect(client.ftp);
        const std::vector<std::string> seen = server.finish();
        ASSERT_EQ(seen.size(), 6u);
        EXPECT_EQ(std::vector<std::string>(seen.begin() + 2, seen.begin() + 4),
                  (std::vector<std::string>{"PASV", "RETR f"}));
        EXPECT_EQ(seen[4].rfind("PORT 127,0,0,1,", 0), 0u);
    }
    // Refused in both modes: the transfer fails with nothing left open.
    FakeFtp script;
    FakeServer server(script);
    Client client;
    ASSERT_TRUE(client.open(server.port()));
    EXPECT_EQ(client->open_stream(client.ftp, 0, "RETR %s\r\n", "missing"), 0);
    EXPECT_TRUE(client->error_flags & KUV_FTP_CONNECTION_FAILURE);
    EXPECT_EQ(client->data_endpoint, nullptr);
    EXPECT_EQ(client->passive, 1u);
    EXPECT_EQ(client->close_stream(client.ftp), 0);
}

TEST_F(FtpDataConnection, AFailedActiveSetUpFallsBackToPassiveOnlyWhenAllowed) {
    FakeFtp script;
    script.files["f"] = "passive";
    script.answers["PORT"] = "500 PORT refused\r\n";
    FakeServer server(script);
    Client client;
    ASSERT_TRUE(client.open(server.port()));
    EXPECT_EQ(client.retrieve("f"), "passive");
    EXPECT_EQ(client->passive, 1u);
    client->passive = 0;
    client->mode_fallback = 0;
    EXPECT_EQ(client->open_stream(client.ftp, 0, "RETR %s\r\n", "f"), 0);
    EXPECT_EQ(client->passive, 0u);
    client->disconnect(client.ftp);
    EXPECT_EQ(server.finish().back().rfind("PORT", 0), 0u) << "no PASV after the refusal";
}

TEST_F(FtpStream, ReadsWaitWithZeroAndAStalledConnectionIsGivenUp) {
    FakeFtp script;
    script.files["slow"] = "never sent";
    script.stalled.insert("slow");
    FakeServer server(script);
    Client client;
    client->passive = 1;
    client->data_timeout = 0;
    ASSERT_TRUE(client.open(server.port()));
    ASSERT_EQ(client->open_stream(client.ftp, 0, "RETR %s\r\n", "slow"), 1);
    char area[16];
    EXPECT_EQ(client->read_stream(client.ftp, area, sizeof area), 0);
    OutputCapture output(1);
    const int32_t next = client->read_stream(client.ftp, area, sizeof area);
    EXPECT_TRUE(contains(output.finish(), "ftp server dead or un-pluged cable ?\n"));
    EXPECT_EQ(next, -1);
    EXPECT_TRUE(client->error_flags & KUV_FTP_CONNECTION_FAILURE);
    EXPECT_EQ(client->close_stream(client.ftp), 0);
}

TEST_F(FtpStream, UploadsEndGracefullyAndAWriteThatLosesItsConnectionFails) {
    FakeFtp script;
    // Reading starts late: a reset at the end would throw away what waits.
    script.upload_delay_msec = 300;
    script.cut.insert("lost");
    FakeServer server(script);
    Client client;
    client->passive = 1;
    client->data_timeout = 2000;
    ASSERT_TRUE(client.open(server.port()));
    const std::string bytes = kuv_ftp_test::pattern_bytes(3 << 20, 7);
    ASSERT_EQ(client->open_stream(client.ftp, 0, "STOR %s\r\n", "up"), 1);
    EXPECT_EQ(client->write_stream(client.ftp, bytes.data(), bytes.size()),
              static_cast<int32_t>(bytes.size()));
    EXPECT_EQ(client->write_stream(client.ftp, nullptr, 0), 0);
    EXPECT_EQ(client->transfer_active, 0u);
    EXPECT_EQ(client->close_stream(client.ftp), 1);
    ASSERT_EQ(client->open_stream(client.ftp, 0, "STOR %s\r\n", "lost"), 1);
    const std::string many(16 << 20, 'u');
    EXPECT_EQ(client->write_stream(client.ftp, many.data(), many.size()), -1);
    EXPECT_EQ(kuv_xapi_get_buffer_size(client->upload_buffer), 0) << "nothing kept";
    EXPECT_EQ(client->close_stream(client.ftp), 0);
    client->disconnect(client.ftp);
    server.finish();
    EXPECT_TRUE(script.stored["up"] == bytes) << "upload lost bytes";
}

TEST_F(FtpStream, StreamCallsRefuseWhatCannotWork) {
    Client client;
    char area[8];
    EXPECT_EQ(client->read_stream(client.ftp, area, sizeof area), -1);
    EXPECT_TRUE(client->error_flags & KUV_FTP_STREAM_FAILURE);
    EXPECT_EQ(client->write_stream(client.ftp, area, sizeof area), -1);
    EXPECT_EQ(client->open_stream(client.ftp, 0, "RETR %s\r\n", "f"), 0);
    EXPECT_EQ(client->close_stream(client.ftp), 1) << "no transfer was active";
    EXPECT_EQ(client->read_stream(nullptr, area, 1) + client->write_stream(nullptr, area, 1) +
                  client->open_stream(nullptr, 0, "x") + client->close_stream(nullptr),
              -4);
}

TEST_F(FtpListing, EndsAtTheLastLineOrAnEmptyOneAndFailsOnAnEndlessLine) {
    FakeFtp script;
    script.listing = "first\r\nsecond\n\nafter the gap\r\n";
    FakeServer server(script);
    Client client;
    client->passive = 1;
    ASSERT_TRUE(client.open(server.port()));
    EXPECT_EQ(client->list(client.ftp, nullptr), -1);
    EXPECT_EQ(client->nlist(client.ftp, nullptr), 0);
    ASSERT_EQ(client->list(client.ftp, "%s", "dir"), 1);
    EXPECT_EQ(kuv_ftp_test::drain(client->get_list, client.ftp),
              (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(client->list_lines, nullptr);
    script.listing = "a\r\nb\r\nlast without end";
    ASSERT_EQ(client->nlist(client.ftp, "%s", ""), 1);
    EXPECT_EQ(kuv_ftp_test::drain(client->get_nlist, client.ftp),
              (std::vector<std::string>{"a", "b", "last without end"}));
    EXPECT_EQ(client->get_nlist(client.ftp), nullptr);
    script.listing = "ok\r\n" + std::string(KUV_FTP_LINE_LIMIT + 100000, 'n');
    OutputCapture output(1);
    const int32_t result = client->nlist(client.ftp, "%s", "");
    EXPECT_TRUE(contains(output.finish(), "nlist failed\n"));
    EXPECT_EQ(result, 0);
    EXPECT_EQ(client->nlist_lines, nullptr);
    script.listing = "fine\r\n";
    EXPECT_EQ(client->nlist(client.ftp, "%s", ""), 1) << "the session goes on";
}

// A download from a scripted server: its result and what it printed.
struct DownloadRun {
    int32_t result;
    std::string output;
    std::vector<std::string> commands;
};

DownloadRun download(FakeFtp &script, const std::string &path) {
    FakeServer server(script);
    DownloadRun run;
    {
        Client client;
        client->passive = 1;
        OutputCapture output(1);
        run.result =
            client->download(client.ftp, 0644, "ftp://127.0.0.1:%d%s", server.port(), path.c_str());
        run.output = output.finish();
    }
    run.commands = server.finish();
    return run;
}

TEST_F(FtpDownload, FetchesEveryListedFileAndSaysSo) {
    ScratchDirectory scratch;
    ASSERT_TRUE(scratch.ok());
    FakeFtp script;
    script.listing = "pub/a.txt\r\npub/empty\r\n";
    script.files = {{"pub/a.txt", "alpha"}, {"pub/empty", ""}};
    DownloadRun run = download(script, "/pub/");
    EXPECT_EQ(run.result, 1) << run.output;
    EXPECT_EQ(kuv_ftp_test::read_file("a.txt"), "alpha");
    EXPECT_TRUE(exists("empty")) << "an empty file is a file all the same";
    EXPECT_TRUE(contains(run.output, "Downloading \"pub/a.txt \" to \"a.txt\"(5 bytes)\n"));
    EXPECT_EQ(kuv_ftp_test::count_of(run.output, "Result: \"OK\" (Elapsed=00:0"), 2u);
    EXPECT_EQ(kuv_ftp_test::count_of(run.output, ", CREATE)\n"), 2u);
    run.commands.erase(run.commands.begin() + 1);  // PASS
    EXPECT_EQ(std::vector<std::string>(run.commands.begin(), run.commands.begin() + 7),
              (std::vector<std::string>{"USER anonymous", "TYPE I", "SYST", "PWD", "CWD .", "PASV",
                                        "NLST pub"}));
    run = download(script, "/pub/");
    EXPECT_EQ(kuv_ftp_test::count_of(run.output, ", OVERWRITE)\n"), 2u) << "second run";
}

TEST_F(FtpDownload, ListedNamesNeverReachOutsideTheCurrentDirectory) {
    ScratchDirectory scratch;
    ASSERT_TRUE(scratch.ok());
    const std::string absolute = scratch.parent() + "/absolute.txt";
    FakeFtp script;
    script.listing = "../escape.txt\r\n" + absolute + "\r\nsub/../../deep.txt\r\n";
    script.files = {{"../escape.txt", "1"}, {absolute, "2"}, {"sub/../../deep.txt", "3"}};
    const DownloadRun run = download(script, "/x");
    EXPECT_EQ(run.result, 1) << run.output;
    EXPECT_EQ(kuv_ftp_test::read_file("escape.txt") + kuv_ftp_test::read_file("absolute.txt") +
                  kuv_ftp_test::read_file("deep.txt"),
              "123");
    EXPECT_FALSE(exists(scratch.parent() + "/escape.txt") || exists(absolute) ||
                 exists(scratch.parent() + "/deep.txt"));
    // Names of directories are never made (nor removed).
    for (const char *name : {"..", "/", "."}) {
        FakeFtp directory;
        directory.listing = std::string(name) + "\r\n";
        directory.files[name] = "data for a directory";
        const DownloadRun refused = download(directory, "/x");
        EXPECT_EQ(refused.result, 0) << name;
        EXPECT_TRUE(contains(refused.output, "Result: \"ERROR\"")) << name;
    }
    EXPECT_TRUE(exists(scratch.path()));
}

TEST_F(FtpDownload, AFailedTransferRemovesItsFileAndSaysWhatWasLost) {
    ScratchDirectory scratch;
    ASSERT_TRUE(scratch.ok());
    FakeFtp script;
    script.listing = "new.bin\r\nnever.bin\r\n";
    script.files = {{"new.bin", kuv_ftp_test::pattern_bytes(200000, 1)}, {"never.bin", "x"}};
    script.cut.insert("new.bin");
    DownloadRun run = download(script, "/new.bin");
    EXPECT_EQ(run.result, 0);
    EXPECT_FALSE(exists("new.bin"));
    EXPECT_FALSE(exists("never.bin")) << "the download stops at the failed file";
    EXPECT_TRUE(contains(run.output, "Result: \"ERROR\"")) << run.output;
    EXPECT_TRUE(contains(run.output, ", CLEAN)\n"));
    // The failed file had replaced an earlier one: that one is gone too.
    ASSERT_TRUE(kuv_ftp_test::write_file("new.bin", "earlier"));
    run = download(script, "/new.bin");
    EXPECT_FALSE(exists("new.bin"));
    EXPECT_TRUE(contains(run.output, ", DELETE)\n")) << run.output;
    // A local name held by a directory with something in it.
    ASSERT_EQ(mkdir("taken", 0755), 0);
    ASSERT_TRUE(kuv_ftp_test::write_file("taken/inside", "keep"));
    script.listing = "taken\r\n";
    script.files["taken"] = "bytes";
    run = download(script, "/taken");
    EXPECT_EQ(run.result, 0);
    EXPECT_TRUE(contains(run.output, "Result: \"ERROR\"")) << run.output;
    EXPECT_EQ(kuv_ftp_test::read_file("taken/inside"), "keep");
}

TEST_F(FtpDownload, AFileThatCannotBeWrittenWholeFailsAndIsRemoved) {
    ScratchDirectory scratch;
    ASSERT_TRUE(scratch.ok());
    FakeFtp script;
    script.listing = "big.bin\r\n";
    script.files["big.bin"] = kuv_ftp_test::pattern_bytes(100000, 3);
    FakeServer server(script);
    // A file size limit fills the "disk" after 10000 bytes; the child that
    // downloads under it reports through its exit code.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{10000, 10000};
        setrlimit(RLIMIT_FSIZE, &limit);
        kuv_ftp_t *ftp = kuv_xapi_open_ftp();
        ftp->passive = 1;
        const int32_t result =
            ftp->download(ftp, 0644, "ftp://127.0.0.1:%d/big.bin", server.port());
        kuv_xapi_close_ftp(ftp);
        _exit(result == 0 ? 0 : 1);
    }
    int status = -1;
    waitpid(child, &status, 0);
    server.finish();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the download did not fail";
    EXPECT_FALSE(exists("big.bin"));
}

TEST_F(FtpDownload, RefusesWhatIsNoTarget) {
    Client client;
    EXPECT_EQ(client->download(client.ftp, 0644, nullptr), -1);
    EXPECT_EQ(client->download(client.ftp, 0644, "%s", "no host at all"), -1);
    EXPECT_EQ(client->download(client.ftp, 0644, "%s", "ftp://127.0.0.1"), -1) << "no path";
    EXPECT_EQ(client->download(nullptr, 0644, "x"), -1);
    OutputCapture output(1);
    const int32_t result = client->download(client.ftp, 0644, "ftp://127.0.0.1:%d/x",
                                            kuv_ftp_test::free_loopback_port());
    EXPECT_TRUE(contains(output.finish(), "can not connect\n"));
    EXPECT_EQ(result, 0);
}

}  // namespace
