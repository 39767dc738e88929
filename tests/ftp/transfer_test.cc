// Data connections, streams, listings and the one-call download against a
// scripted server: which passive replies are acted on and where they lead,
// the retry after a refused transfer, stalled reads, endless listing lines,
// hostile names, cut transfers and local files that cannot be written.
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
using kuv_ftp_test::read_file;
using kuv_test::OutputCapture;
using Strings = std::vector<std::string>;

class FtpTransfer : public kuv_test::ResourceCheckedTest {};

TEST_F(FtpTransfer, OnlyTheFirstUsablePassiveLineIsFollowedAndOnlyToTheControlPeer) {
    int other_port = 0;
    const int other = kuv_ftp_test::loopback_socket(&other_port);
    const std::string other_227 =
        std::to_string(other_port / 256) + "," + std::to_string(other_port % 256);
    FakeFtp script;
    script.files["f"] = "data";
    // Nothing listens on 127.0.0.2: only the port may be taken from it.
    script.passive_replies = {"227 Entering Passive Mode (127,0,0,2,{p1,p2}).\r\n",
                              "227-Entering Passive Mode (127,0,0,1,{p1,p2})\r\n227-(127,0,0,1," +
                                  other_227 + ")\r\n229 Extended (|||" +
                                  std::to_string(other_port) + "|)\r\n"};
    const size_t usable = script.passive_replies.size();
    // What does not fit or lacks its delimiters is ignored: active mode
    // takes over.
    for (const std::string &unusable :
         Strings{"227 Entering Passive Mode 127,0,0,1,{p1,p2}", "227 Mode ) 127,0,0,1,{p1,p2}",
                 "227 (127,0,0,1,256,1)", "227 (127,0,0,1,4)", "227 (127,0,0,1,4;1)",
                 "227 (127,0,0,1,-4,1)", "227 (127,0,0,1,4,99999999999999)",
                 "227 (" + std::string(60, '1') + ",0,0,1,{p1,p2})", "229 (||{port}|)",
                 "229 (|||{port})", "229 (||||)", "229 (|||6a|)", "229 (|||65536|)",
                 "229 (|||" + std::string(50, '6') + "|)"})
        script.passive_replies.push_back(unusable + "\r\n");
    const size_t count = script.passive_replies.size();
    {
        FakeServer server(script);
        Client client;
        ASSERT_TRUE(client.open(server.port()));
        for (size_t each = 0; each < count; ++each) {
            client->passive = 1;
            EXPECT_EQ(client.retrieve("f"), "data") << each;
            EXPECT_EQ(client->passive, each < usable ? 1u : 0u) << each;
        }
    }
    EXPECT_FALSE(kuv_ftp_test::wait_readable(other, 200)) << "a later passive line was followed";
    close(other);
}

TEST_F(FtpTransfer, ARefusedTransferIsTriedOnceMoreInTheOtherMode) {
    FakeFtp script;
    script.files["f"] = "second try";
    script.refusals = {"425 cannot open\r\n", "", "426 aborted\r\n", "", "550 not now\r\n", ""};
    FakeServer server(script);
    Client client;
    ASSERT_TRUE(client.open(server.port()));
    for (int each = 0; each < 3; ++each) {
        client->passive = 1;
        EXPECT_EQ(client.retrieve("f"), "second try") << each;
        EXPECT_EQ(client->passive, 0u);
    }
    // Refused in both modes: the transfer fails with nothing left open.
    client->passive = 1;
    EXPECT_EQ(client->open_stream(client.ftp, 0, "RETR %s\r\n", "missing"), 0);
    EXPECT_TRUE(client->error_flags & KUV_FTP_CONNECTION_FAILURE);
    EXPECT_EQ(client->data_endpoint, nullptr);
    client->disconnect(client.ftp);
    const Strings seen = server.finish();
    ASSERT_EQ(seen.size(), 2u + 3 * 4 + 4);
    for (size_t at = 2; at < seen.size(); at += 4) {
        EXPECT_EQ(Strings(seen.begin() + at, seen.begin() + at + 2),
                  (Strings{"PASV", at < 14 ? "RETR f" : "RETR missing"}));
        EXPECT_EQ(seen[at + 2].rfind("PORT 127,0,0,1,", 0), 0u);
    }
}

TEST_F(FtpTransfer, ReadsWaitWithZeroAndAStalledConnectionIsGivenUp) {
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

TEST_F(FtpTransfer, ListingsEndAtTheLastLineOrAnEmptyOneAndFailOnAnEndlessLine) {
    FakeFtp script;
    script.listing = "first\r\nsecond\n\nafter the gap\r\n";
    FakeServer server(script);
    Client client;
    client->passive = 1;
    ASSERT_TRUE(client.open(server.port()));
    ASSERT_EQ(client->list(client.ftp, "%s", "dir"), 1);
    EXPECT_EQ(kuv_ftp_test::drain(client->get_list, client.ftp), (Strings{"first", "second"}));
    script.listing = "a\r\nb\r\nlast without end";
    ASSERT_EQ(client->nlist(client.ftp, "%s", ""), 1);
    EXPECT_EQ(kuv_ftp_test::drain(client->get_nlist, client.ftp),
              (Strings{"a", "b", "last without end"}));
    script.listing = "ok\r\n" + std::string(KUV_FTP_LINE_LIMIT + 100000, 'n');
    OutputCapture output(1);
    const int32_t result = client->nlist(client.ftp, "%s", "");
    EXPECT_TRUE(contains(output.finish(), "nlist failed\n"));
    EXPECT_EQ(result, 0);
    EXPECT_EQ(client->nlist_lines, nullptr);
    script.listing = "fine\r\n";
    EXPECT_EQ(client->nlist(client.ftp, "%s", ""), 1) << "the session goes on";
}

// A one-call download of the path from a scripted server: its result and
// what it printed.
std::pair<int32_t, std::string> download(FakeFtp &script, const std::string &path) {
    FakeServer server(script);
    Client client;
    client->passive = 1;
    OutputCapture output(1);
    const int32_t result =
        client->download(client.ftp, 0644, "ftp://127.0.0.1:%d%s", server.port(), path.c_str());
    return {result, output.finish()};
}

TEST_F(FtpTransfer, ListedNamesNeverReachOutsideTheCurrentDirectory) {
    kuv_ftp_test::ScratchDirectory scratch;
    ASSERT_TRUE(scratch.ok());
    const std::string absolute = scratch.parent_ + "/absolute.txt";
    FakeFtp script;
    script.listing = "../escape.txt\r\n" + absolute + "\r\nsub/../../deep.txt\r\n";
    script.files = {{"../escape.txt", "1"}, {absolute, "2"}, {"sub/../../deep.txt", "3"}};
    const auto [result, printed] = download(script, "/x");
    EXPECT_EQ(result, 1) << printed;
    EXPECT_EQ(read_file("escape.txt") + read_file("absolute.txt") + read_file("deep.txt"), "123");
    EXPECT_FALSE(exists(scratch.parent_ + "/escape.txt") || exists(absolute) ||
                 exists(scratch.parent_ + "/deep.txt"));
    // Names of directories are never made (nor removed).
    for (const char *name : {"..", "/", "."}) {
        FakeFtp directory;
        directory.listing = std::string(name) + "\r\n";
        directory.files[name] = "data for a directory";
        const auto [refused, said] = download(directory, "/x");
        EXPECT_EQ(refused, 0) << name;
        EXPECT_TRUE(contains(said, "Result: \"ERROR\"")) << name;
    }
    EXPECT_TRUE(exists(scratch.path_));
}

TEST_F(FtpTransfer, AFailedDownloadRemovesItsFileAndSaysWhatWasLost) {
    kuv_ftp_test::ScratchDirectory scratch;
    ASSERT_TRUE(scratch.ok());
    FakeFtp script;
    script.listing = "new.bin\r\nnever.bin\r\n";
    script.files = {{"new.bin", kuv_ftp_test::pattern_bytes(200000, 1)}, {"never.bin", "x"}};
    script.cut.insert("new.bin");
    // Cut by the server; then the same over an earlier file, which goes too.
    for (const char *outcome : {", CLEAN)\n", ", DELETE)\n"}) {
        const auto [result, printed] = download(script, "/new.bin");
        EXPECT_EQ(result, 0);
        EXPECT_TRUE(contains(printed, "Result: \"ERROR\"") && contains(printed, outcome))
            << printed;
        EXPECT_FALSE(exists("new.bin") || exists("never.bin")) << "stops at the failed file";
        ASSERT_TRUE(kuv_ftp_test::write_file("new.bin", "earlier"));
    }
    // A local name held by a directory with something in it.
    ASSERT_EQ(mkdir("taken", 0755), 0);
    ASSERT_TRUE(kuv_ftp_test::write_file("taken/inside", "keep"));
    script.listing = "taken\r\n";
    script.files["taken"] = "bytes";
    const auto [result, printed] = download(script, "/taken");
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(contains(printed, "Result: \"ERROR\"")) << printed;
    EXPECT_EQ(read_file("taken/inside"), "keep");
}

}  // namespace
