// Listings and the one-call download against a scripted server: hostile
// names, endless listing lines, transfers cut off mid-way, local files that
// cannot be made or written, and the result line of each outcome.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "support/test_support.h"
#include "tests/ftp/fake_files.h"
#include "tests/ftp/ftp_test_common.h"

namespace {

using kuv_ftp_test::Client;
using kuv_ftp_test::FakeFiles;
using kuv_ftp_test::FakeServer;
using kuv_ftp_test::FakeSession;
using kuv_ftp_test::ScratchDirectory;
using kuv_test::OutputCapture;
using kuv_test::ResourceCheckedTest;

bool exists(const std::string &path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0;
}

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

// Runs a download of the URI path from a fake server serving files: the
// download's result and what it printed.
struct DownloadRun {
    int32_t result;
    std::string output;
    std::vector<std::string> commands;
};

DownloadRun download(FakeFiles &files, const std::string &path, int32_t data_timeout = 3000) {
    FakeServer server([&](FakeSession &session) { serve_files(session, files); });
    DownloadRun run;
    {
        Client client;
        client->passive = 1;
        client->data_timeout = static_cast<uint32_t>(data_timeout);
        OutputCapture output(1);
        run.result =
            client->download(client.ftp, 0644, "ftp://127.0.0.1:%d%s", server.port(), path.c_str());
        run.output = output.finish();
    }
    run.commands = server.finish();
    return run;
}

class Listing : public ResourceCheckedTest {};
class Download : public ResourceCheckedTest {};

TEST_F(Listing, LinesAreHandedOutUntilTheEndOrAnEmptyLine) {
    FakeFiles files;
    files.listing = "first\r\nsecond\n\nafter the gap\r\nlast without end";
    FakeServer server([&](FakeSession &session) { serve_files(session, files); });
    Client client;
    client->passive = 1;
    ASSERT_EQ(client->connect(client.ftp, "127.0.0.1", server.port()), 1);
    EXPECT_EQ(client->list(client.ftp, nullptr), -1);
    EXPECT_EQ(client->nlist(client.ftp, nullptr), 0);
    ASSERT_EQ(client->list(client.ftp, "%s", "dir"), 1);
    std::vector<std::string> lines;
    while (char *line = client->get_list(client.ftp)) {
        lines.emplace_back(line);
        kuv_xapi_free(line);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(client->list_lines, nullptr);
    EXPECT_EQ(client->get_list(client.ftp), nullptr);
    files.listing = "a\r\nb\r\nlast without end";
    ASSERT_EQ(client->nlist(client.ftp, "%s", ""), 1);
    lines.clear();
    while (char *line = client->get_nlist(client.ftp)) {
        lines.emplace_back(line);
        kuv_xapi_free(line);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"a", "b", "last without end"}));
    EXPECT_EQ(client->get_nlist(client.ftp), nullptr);
    client->disconnect(client.ftp);
    const std::vector<std::string> seen = server.finish();
    EXPECT_EQ(seen[0], "PASV");
    EXPECT_EQ(seen[1], "LIST dir");
    EXPECT_EQ(seen[3], "NLST ");
}

TEST_F(Listing, AnEndlessLineFailsTheListing) {
    FakeFiles files;
    files.listing = "ok\r\n" + std::string(KUV_FTP_LINE_LIMIT + 100000, 'n');
    FakeServer server([&](FakeSession &session) { serve_files(session, files); });
    Client client;
    client->passive = 1;
    ASSERT_EQ(client->connect(client.ftp, "127.0.0.1", server.port()), 1);
    OutputCapture output(1);
    const int32_t result = client->nlist(client.ftp, "%s", "");
    const std::string printed = output.finish();
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(contains(printed, "nlist failed\n"));
    EXPECT_EQ(client->nlist_lines, nullptr);
    // The control connection stays usable.
    files.listing = "fine\r\n";
    EXPECT_EQ(client->nlist(client.ftp, "%s", ""), 1);
}

TEST_F(Download, FetchesEveryListedFileAndSaysSo) {
    ScratchDirectory scratch;
    ASSERT_TRUE(scratch.ok());
    FakeFiles files;
    files.listing = "pub/a.txt\r\npub/empty\r\n";
    files.files["pub/a.txt"] = "alpha";
    files.files["pub/empty"] = "";
    DownloadRun run = download(files, "/pub/");
    EXPECT_EQ(run.result, 1) << run.output;
    EXPECT_EQ(kuv_ftp_test::read_file("a.txt"), "alpha");
    EXPECT_TRUE(exists("empty")) << "an empty file is a file all the same";
    EXPECT_TRUE(contains(run.output, "Downloading \"pub/a.txt \" to \"a.txt\"(5 bytes)\n"));
    EXPECT_TRUE(contains(run.output, "Result: \"OK\" (Elapsed=00:0"));
    EXPECT_TRUE(contains(run.output, ", CREATE)\n"));
    const std::vector<std::string> expected = {"USER anonymous", "TYPE I", "SYST",    "PWD",
                                               "CWD .",          "PASV",   "NLST pub"};
    ASSERT_GE(run.commands.size(), expected.size() + 1);
    EXPECT_EQ(run.commands[1].rfind("PASS ", 0), 0u);
    run.commands.erase(run.commands.begin() + 1);
    EXPECT_EQ(std::vector<std::string>(run.commands.begin(), run.commands.begin() + 7), expected);
    // A second run replaces the files.
    run = download(files, "/pub/");
    EXPECT_EQ(run.result, 1);
    EXPECT_TRUE(contains(run.output, ", OVERWRITE)\n"));
    EXPECT_FALSE(contains(run.output, ", CREATE)\n"));
}

TEST_F(Download, ListedNamesNeverReachOutsideTheCurrentDirectory) {
    ScratchDirectory scratch;
    ASSERT_TRUE(scratch.ok());
    const std::string absolute = scratch.parent() + "/absolute.txt";
    FakeFiles files;
    files.listing = "../escape.txt\r\n" + absolute + "\r\nsub/../../deep.txt\r\n";
    files.files["../escape.txt"] = "1";
    files.files[absolute] = "2";
    files.files["sub/../../deep.txt"] = "3";
    const DownloadRun run = download(files, "/x");
    EXPECT_EQ(run.result, 1) << run.output;
    EXPECT_EQ(kuv_ftp_test::read_file("escape.txt"), "1");
    EXPECT_EQ(kuv_ftp_test::read_file("absolute.txt"), "2");
    EXPECT_EQ(kuv_ftp_test::read_file("deep.txt"), "3");
    EXPECT_FALSE(exists(scratch.parent() + "/escape.txt"));
    EXPECT_FALSE(exists(absolute));
    EXPECT_FALSE(exists(scratch.parent() + "/deep.txt"));
    EXPECT_TRUE(contains(run.commands.back(), "RETR sub/../../deep.txt"));
}

TEST_F(Download, NamesOfDirectoriesAreNeverMadeOrRemoved) {
    ScratchDirectory scratch;
    ASSERT_TRUE(scratch.ok());
    for (const char *name : {"..", "/", "."}) {
        FakeFiles files;
        files.listing = std::string(name) + "\r\n";
        files.files[name] = "data for a directory";
        const DownloadRun run = download(files, "/x");
        EXPECT_EQ(run.result, 0) << name;
        EXPECT_TRUE(contains(run.output, "Result: \"ERROR\"")) << name;
    }
    EXPECT_TRUE(exists(scratch.path()));
    EXPECT_TRUE(exists(scratch.parent()));
}

TEST_F(Download, ATransferCutOffRemovesThePartialFile) {
    ScratchDirectory scratch;
    ASSERT_TRUE(scratch.ok());
    FakeFiles files;
    files.listing = "new.bin\r\nnever.bin\r\n";
    files.files["new.bin"] = kuv_ftp_test::pattern_bytes(200000, 1);
    files.files["never.bin"] = "not fetched";
    files.cut.insert("new.bin");
    DownloadRun run = download(files, "/new.bin");
    EXPECT_EQ(run.result, 0);
    EXPECT_FALSE(exists("new.bin"));
    EXPECT_FALSE(exists("never.bin")) << "the download stops at the failed file";
    EXPECT_TRUE(contains(run.output, "Result: \"ERROR\"")) << run.output;
    EXPECT_TRUE(contains(run.output, ", CLEAN)\n"));
    // When the failed file had replaced an earlier one, that one is gone.
    ASSERT_TRUE(kuv_ftp_test::write_file("new.bin", "earlier"));
    run = download(files, "/new.bin");
    EXPECT_EQ(run.result, 0);
    EXPECT_FALSE(exists("new.bin"));
    EXPECT_TRUE(contains(run.output, ", DELETE)\n")) << run.output;
}

TEST_F(Download, AStalledTransferFailsTheFile) {
    ScratchDirectory scratch;
    ASSERT_TRUE(scratch.ok());
    FakeFiles files;
    files.listing = "slow.bin\r\n";
    files.files["slow.bin"] = "never sent";
    files.stalled.insert("slow.bin");
    const DownloadRun run = download(files, "/slow.bin", 2000);
    EXPECT_EQ(run.result, 0);
    EXPECT_TRUE(contains(run.output, "ftp server dead or un-pluged cable ?\n"));
    EXPECT_TRUE(contains(run.output, ", CLEAN)\n"));
    EXPECT_FALSE(exists("slow.bin"));
}

TEST_F(Download, ALocalFileThatCannotBeMadeFailsThatFile) {
    ScratchDirectory scratch;
    ASSERT_TRUE(scratch.ok());
    // A directory with something in it holds the name.
    ASSERT_EQ(mkdir("taken", 0755), 0);
    ASSERT_TRUE(kuv_ftp_test::write_file("taken/inside", "keep"));
    FakeFiles files;
    files.listing = "taken\r\n";
    files.files["taken"] = "bytes";
    const DownloadRun run = download(files, "/taken");
    EXPECT_EQ(run.result, 0);
    EXPECT_TRUE(contains(run.output, "Result: \"ERROR\"")) << run.output;
    EXPECT_EQ(kuv_ftp_test::read_file("taken/inside"), "keep");
}

TEST_F(Download, AFileThatCannotBeWrittenWholeFailsAndIsRemoved) {
    ScratchDirectory scratch;
    ASSERT_TRUE(scratch.ok());
    FakeFiles files;
    files.listing = "big.bin\r\n";
    files.files["big.bin"] = kuv_ftp_test::pattern_bytes(100000, 3);
    FakeServer server([&](FakeSession &session) { serve_files(session, files); });
    // A file size limit makes the disk "full" after 10000 bytes; the child
    // that downloads under it reports through its exit code.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{10000, 10000};
        setrlimit(RLIMIT_FSIZE, &limit);
        kuv_ftp_t *ftp = kuv_xapi_open_ftp();
        ftp->passive = 1;
        ftp->control_timeout = 3000;
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

TEST_F(Download, RefusesWhatIsNoTarget) {
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
