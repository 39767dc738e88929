// The FTP client against a scripted server for what real servers will not
// do: odd and overlong replies, unusable passive replies, refused, cut and
// stalled transfers, hostile listings, injected line breaks. The server
// takes one control connection on 127.0.0.1 on a thread of its own.
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/syscall.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string_view>
#include <thread>
#include <tuple>

#include "support/test_support.h"
#include "tests/ftp/ftp_test_common.h"

// The library's write and close reach this program's first. Armed with a
// base name, they fail for a file of that name: a write with ENOSPC, as on
// a full disk; a close with EIO after closing, as a file system does that
// learns only at close that a write was lost.
static std::atomic<const char *> g_full_disk{nullptr}, g_failing_close{nullptr};
static bool is_named(int fd, const char *name) {
    char link[64], target[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = name ? readlink(link, target, sizeof target - 1) : 0;
    target[length > 0 ? length : 0] = 0;
    const char *base = std::strrchr(target, '/');
    return base && std::strcmp(base + 1, name) == 0;
}
extern "C" ssize_t write(int fd, const void *bytes, size_t count) {
    if (is_named(fd, g_full_disk.load())) return errno = ENOSPC, -1;
    return syscall(SYS_write, fd, bytes, count);
}
extern "C" int close(int fd) {
    const bool fail = is_named(fd, g_failing_close.load());
    const long result = syscall(SYS_close, fd);
    if (result != 0 || !fail) return static_cast<int>(result);
    errno = EIO;
    return -1;
}

namespace {

using namespace kuv_ftp_test;
using kuv_test::OutputCapture;
using Strings = std::vector<std::string>;

bool wait_readable(int socket, int msec = 10000) {
    pollfd entry{socket, POLLIN, 0};
    return poll(&entry, 1, msec) == 1;
}

int accept_within(int listener) {
    return wait_readable(listener) ? accept(listener, nullptr, nullptr) : -1;
}

bool send_all(int socket, std::string_view bytes) {
    for (ssize_t sent; !bytes.empty(); bytes.remove_prefix(static_cast<size_t>(sent)))
        if ((sent = send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL)) <= 0) return false;
    return true;
}

// What the scripted server does. Texts may hold "{port}" (the data
// listener's port) and "{p1,p2}" (the same as the two numbers of a 227).
struct FakeFtp {
    std::string welcome = "220 fake ready\r\n";  // "{hang up}": closes at once
    // clang-format off
    std::map<std::string, std::string> answers = {  // command verb -> reply
        {"USER", "331 password please\r\n"}, {"PASS", "230 in\r\n"}, {"TYPE", "200 set\r\n"},
        {"SYST", "215 UNIX Type: L8\r\n"}, {"PWD", "257 \"/\"\r\n"}, {"CWD", "250 done\r\n"},
        {"NOOP", "200 ok\r\n"}, {"QUIT", "221 bye\r\n"}};
    // clang-format on
    std::vector<std::string> passive_replies;  // answers to PASV/EPSV in turn, then a proper 227
    std::vector<std::string> refusals;         // answers to transfer commands in turn ("": served)
    std::string listing;                       // what NLST and LIST send
    std::map<std::string, std::string> files;  // what RETR sends
    std::set<std::string> cut, stalled;        // RETR: half sent, then reset; or silent
                                               // STOR: reset unread once bytes came; or
                                               // read after 1 s
    std::string cut_reply = "426 transfer aborted\r\n";    // after a cut or a stall
    std::set<std::string> hang_up_after;                   // RETR: the session ends after the 226
    std::set<std::string> unconnected;                     // RETR: 150, 226, no data connection
    std::atomic<bool> release_hang_up{false};              // until set, those wait after the 150
    std::string announcement = "150 here it comes\r\n";    // before a transfer
    std::string completion = "226 transfer complete\r\n";  // after a transfer served whole
    std::string midway;               // RETR: said after half the file, then a pause of 1 s
    std::map<std::string, int> late;  // verb -> ms before its (final) reply
    std::set<std::string> trickled;   // verbs whose reply goes a byte every 50 ms
    int pause_ms = 200;               // what "{pause}" in a reply waits
};

std::string take_front(std::vector<std::string> &list) {
    std::string front = list.front();
    list.erase(list.begin());
    return front;
}

class FakeServer {
  public:
    explicit FakeServer(FakeFtp &script)
        : script_(script), listener_(loopback_socket(false, &port_)) {
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeServer() { finish(); }
    FakeServer(const FakeServer &) = delete;
    FakeServer &operator=(const FakeServer &) = delete;
    int port() const { return port_; }
    // Waits for the session to end; the commands it received.
    std::vector<std::string> finish() {
        if (thread_.joinable()) thread_.join();
        return commands_;
    }

  private:
    // The next command line, without its line end; "" when none comes.
    std::string command() {
        char chunk[4096];
        for (ssize_t got; pending_.find("\r\n") == std::string::npos;) {
            if (!wait_readable(control_) || (got = recv(control_, chunk, sizeof chunk, 0)) <= 0)
                return "";
            pending_.append(chunk, static_cast<size_t>(got));
        }
        const size_t end = pending_.find("\r\n");
        commands_.push_back(pending_.substr(0, end));
        pending_.erase(0, end + 2);
        return commands_.back();
    }
    void reply(std::string text) {
        const std::pair<std::string, std::string> marks[] = {
            {"{port}", std::to_string(data_port_)},
            {"{p1,p2}", std::to_string(data_port_ / 256) + "," + std::to_string(data_port_ % 256)}};
        for (const auto &[mark, value] : marks)
            for (size_t at; (at = text.find(mark)) != std::string::npos;)
                text.replace(at, mark.size(), value);
        if (const auto late = script_.late.find(verb_); late != script_.late.end())
            std::this_thread::sleep_for(std::chrono::milliseconds(late->second));
        const std::string_view pause = "{pause}";
        for (size_t at; (at = text.find(pause)) != std::string::npos;) {
            send_text(text.substr(0, at));
            std::this_thread::sleep_for(std::chrono::milliseconds(script_.pause_ms));
            text.erase(0, at + pause.size());
        }
        send_text(text);
    }
    void send_text(std::string_view text) {
        if (!script_.trickled.count(verb_)) {
            send_all(control_, text);
            return;
        }
        for (const char byte : text) {
            if (!send_all(control_, std::string_view(&byte, 1))) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }

    void transfer(const std::string &verb, const std::string &name) {
        const std::string refusal = script_.refusals.empty() ? "" : take_front(script_.refusals);
        if (!refusal.empty()) return reply(refusal);
        const auto file = script_.files.find(name);
        const bool retr = verb == "RETR", listing = verb == "NLST" || verb == "LIST";
        if (retr && file == script_.files.end()) return reply("550 no such file\r\n");
        verb_ = "";  // only the final reply of a transfer comes late
        reply(script_.announcement);
        verb_ = verb;
        if (retr && script_.unconnected.count(name)) return reply(script_.completion);
        const int data = data_listener_ >= 0 ? accept_within(data_listener_)
                         : active_port_ > 0  ? loopback_socket(false, &active_port_, true)
                                             : -1;
        if (data < 0) return reply("425 no data connection\r\n");
        const bool cut = !listing && script_.cut.count(name),
                   stalled = retr && script_.stalled.count(name);
        char chunk[65536];
        if (verb == "STOR" && script_.stalled.count(name))
            std::this_thread::sleep_for(std::chrono::seconds(1));
        for (int waited = 0;
             retr && script_.hang_up_after.count(name) && !script_.release_hang_up && waited < 5000;
             ++waited)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const std::string bytes = retr ? file->second : listing ? script_.listing : "";
        if (retr && !script_.midway.empty() && !cut && !stalled) {
            send_all(data, std::string_view(bytes).substr(0, bytes.size() / 2));
            reply(script_.midway);
            std::this_thread::sleep_for(std::chrono::seconds(1));
            send_all(data, std::string_view(bytes).substr(bytes.size() / 2));
        } else {
            send_all(data, cut ? bytes.substr(0, bytes.size() / 2) : stalled ? "" : bytes);
        }
        if (cut && verb == "STOR") wait_readable(data);
        linger hard{1, 0};  // a cut ends with a reset instead of an orderly end
        if (cut) setsockopt(data, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        // An upload is read (and dropped) to its end; a stalled download is
        // quiet until the client closes its end.
        const bool read_to_end = stalled || (verb == "STOR" && !cut);
        while (read_to_end && wait_readable(data) && recv(data, chunk, sizeof chunk, 0) > 0) {
        }
        close(data);
        reply(cut || stalled ? script_.cut_reply : script_.completion);
    }

    void serve() {
        control_ = accept_within(listener_);
        close(listener_);
        if (control_ < 0) return;
        const bool hang_up = script_.welcome == "{hang up}";
        verb_ = "{welcome}";
        if (!hang_up) reply(script_.welcome);
        for (std::string line; !hang_up && !(line = command()).empty();) {
            const std::string verb = verb_ = line.substr(0, line.find(' '));
            const std::string name = line.size() > verb.size() ? line.substr(verb.size() + 1) : "";
            unsigned high = 0, low = 0;
            if (verb == "PASV" || verb == "EPSV") {
                if (data_listener_ >= 0) close(data_listener_);
                data_listener_ = loopback_socket(false, &(data_port_ = 0));
                reply(script_.passive_replies.empty()
                          ? "227 Entering Passive Mode (127,0,0,1,{p1,p2}).\r\n"
                          : take_front(script_.passive_replies));
            } else if (script_.answers.count(verb)) {
                // The goodbye leaves with the close in one segment, as busy
                // servers send them.
                const int cork = 1;
                if (verb == "QUIT") setsockopt(control_, IPPROTO_TCP, TCP_CORK, &cork, sizeof cork);
                reply(script_.answers.at(verb));
                if (verb == "QUIT") break;
            } else if (verb == "PORT") {
                std::sscanf(name.c_str(), "%*u,%*u,%*u,%*u,%u,%u", &high, &low);
                if (data_listener_ >= 0) close(data_listener_);
                data_listener_ = -1;
                active_port_ = static_cast<int>(high * 256 + low);
                reply("200 PORT ok\r\n");
            } else if (verb == "NLST" || verb == "LIST" || verb == "RETR" || verb == "STOR") {
                transfer(verb, name);
                if (verb == "RETR" && script_.hang_up_after.count(name)) break;
            } else {
                reply("502 not here\r\n");
            }
        }
        if (data_listener_ >= 0) close(data_listener_);
        close(control_);
    }

    FakeFtp &script_;
    int port_ = 0, listener_ = -1, control_ = -1;
    int data_listener_ = -1, data_port_ = 0, active_port_ = -1;
    std::string pending_, verb_;
    std::vector<std::string> commands_;
    std::thread thread_;
};

class ScriptedFtp : public kuv_test::ResourceCheckedTest {};

TEST_F(ScriptedFtp, ReplyReaderTakesCodeSeparatorAndTextAndDropsWhatHasNoCode) {
    Client client;
    client->reply_buffer = kuv_xapi_open_buffer();
    const std::tuple<const char *, int32_t, uint32_t, const char *> cases[] = {
        {"200\r\n", 200, 0, ""},
        {"220-first\r\n", 220, 1, "first"},
        {"220 end\r\n", 220, 0, "end"},
        {"331 need a password\n", 331, 0, "need a password"},
        {"2345 x\r\n", 234, 0, " x"},
        {"257:\"/\"\r", 257, 0, "\"/\""},
        // Line ends left in front and the inner lines of a multi-line reply
        // are dropped.
        {"\r\n\n\rhello\r\n   inner\r\n250 done\r\n", 250, 0, "done"},
        // Two digits are no code: the line is lost, the next one waits.
        {"20 x\r\n200 OK\r\n", 0, 0, nullptr},
        {"", 200, 0, "OK"},
        // A partial line stays until its end arrives.
        {"150 Op", 0, 0, nullptr},
        {"ening\r", 150, 0, "Opening"},
    };
    for (const auto &[bytes, code, more, text] : cases) {
        kuv_xapi_push_buffer_ex(client->reply_buffer, bytes, std::strlen(bytes), 0);
        EXPECT_EQ(client->read_reply(client.ftp), code) << bytes;
        EXPECT_EQ(client->more_lines, more) << bytes;
        EXPECT_STREQ(client->reply_text, text) << bytes;
    }
}

// Refuses tracked-heap blocks of one size (a reply line's, an assembler's,
// a command's) after letting the first few through; past a bound it gives
// in, so that a waiter that asks again and again still ends.
struct RefuseBlocks {
    static inline uint64_t size = 0;
    static inline int refused = 0, bound = 0, let_through = 0;
    kuv_heap_handler_t previous = nullptr;
    static void *handler(void *pointer, uint64_t wanted) {
        const bool ours = !pointer && wanted == size && let_through-- <= 0 && refused < bound;
        return ours ? (++refused, nullptr) : kuv_xapi_heap_debug(pointer, wanted);
    }
    explicit RefuseBlocks(uint64_t block_size, int most = 1000, int first_allowed = 0) {
        size = block_size, refused = 0, bound = most, let_through = first_allowed;
        kuv_xapi_set_heap_handler(&RefuseBlocks::handler, &previous);
    }
    ~RefuseBlocks() { kuv_xapi_set_heap_handler(previous, nullptr); }
};

TEST_F(ScriptedFtp, ConnectTakesAnyWelcomeAndEndsEveryFailedOneWithoutSpinning) {
    const std::string uncopied = "200 " + std::string(5000, 'x') + "\r\n";
    const std::tuple<std::string, int32_t, uint64_t> cases[] = {
        {"220-first\r\n220 second\r\n", 1, 0},
        {"421 busy\r\n", 1, 0},
        {"{hang up}", 0, 0},
        {"", 0, 0},
        // A line that keeps coming but is not whole within the wait.
        {"220 {pause}slow{pause}ly{pause} said\r\n", 0, 0},
        // An endless line is dropped with the connection.
        {"220 " + std::string(3 * KUV_FTP_LINE_LIMIT, 'x'), 0, 0},
        // No copy of the line can be made: the connection is dropped, as
        // every later reply would be read one command late. Without a copy
        // of its text the reply still counts.
        {uncopied, 0, uncopied.size() - 1},
        {uncopied, 1, 5001},
    };
    for (const auto &[welcome, expected, refused_size] : cases) {
        FakeFtp script;
        script.welcome = welcome;
        FakeServer server(script);
        Client client;
        client->control_timeout = 300;
        const uint64_t peak = kuv_xapi_get_allocated_memory_peak_size();
        const uint64_t held = kuv_xapi_get_allocated_memory_size();
        std::optional<RefuseBlocks> refuse;
        if (refused_size) refuse.emplace(refused_size);
        OutputCapture output(1);
        const int32_t result = client->connect(client.ftp, "127.0.0.1", server.port());
        const std::string said = output.finish();
        EXPECT_EQ(result, expected) << said;
        EXPECT_NE(said.find("kuv connect : OK\n"), said.npos) << said;  // the endpoint connects
        EXPECT_EQ(client->control_socket == -1, result == 0);
        EXPECT_EQ(client->more_lines, 0u);
        EXPECT_LE(RefuseBlocks::refused, 3) << "the wait spun on the line";
        refuse.reset();
        if (refused_size) {
            EXPECT_EQ(client->noop(client.ftp), result) << "out of step";
        }
        // The reply buffer held the limit and at most one receive more.
        EXPECT_LE(kuv_xapi_get_allocated_memory_peak_size(),
                  std::max(peak, held + KUV_FTP_LINE_LIMIT + 2 * 65536));
    }
}

TEST_F(ScriptedFtp, CommandsAreJudgedByTheirOwnCodesAndWhatWasNotSentNeverGoesOut) {
    const std::string uncopied = "250 " + std::string(5000, 'x') + "\r\n";
    FakeFtp script;
    // Inner lines that start with digits or another code are the reply's
    // text: only its own code ends it.
    script.answers["CWD"] = "250-changed\r\n226 inner\r\n2500 inner\r\n250 really\r\n";
    // A preliminary reply is read past to the final one that follows it.
    script.welcome = "120 ready in 1 minute\r\n220 fake ready\r\n";
    script.answers["RNFR"] = "110 wait\r\n350 ready\r\n";
    script.answers["RNTO"] = "550 refused\r\n";
    script.answers["DELE"] = uncopied;
    script.answers["SIZE"] = "213 42" + std::string(198, ' ') + "\r\n";
    // A reply of many lines is read whole, however long it is.
    std::string &many = script.answers["NOOP"] = "";
    for (int line = 0; many.size() < 2 * KUV_FTP_LINE_LIMIT; ++line)
        many += "200-line " + std::to_string(line) + " of a long answer\r\n";
    many += "200 end\r\n";
    FakeServer server(script);
    Client client;
    ASSERT_TRUE(client.open(server.port(), false));
    EXPECT_EQ(client->noop(client.ftp), 1);
    EXPECT_STREQ(client->reply_text, "end");
    EXPECT_EQ(client->cwd(client.ftp, "%s/x", ".."), 1);
    // A quote in the directory comes doubled (or, from some servers, as it
    // is); the path handed out holds it once.
    // A remark behind it may hold quotes of its own.
    for (const char *answer : {"257 \"/q\"\"d\" is current\r\n", "257 \"/q\"d\" is current\r\n",
                               "257 \"/q\"\"d\" is \"current\"\r\n"}) {
        script.answers["PWD"] = answer;
        char *path = nullptr;
        EXPECT_EQ(client->pwd(client.ftp, &path), 1);
        EXPECT_STREQ(path, "/q\"d") << answer;
        kuv_xapi_free(path);
    }
    EXPECT_EQ(client->rnfr(client.ftp, "a b"), 1);
    EXPECT_EQ(client->rnto(client.ftp, "c"), 0);
    // The trace of the commands sent shows that a password went, not which.
    client->debug_level = 100000;
    {
        OutputCapture output(1);
        EXPECT_EQ(client->pass(client.ftp, "s3cret"), 1);
        const std::string printed = output.finish();
        EXPECT_NE(printed.find("PASS ******\r\n"), printed.npos) << printed;
        EXPECT_EQ(printed.find("s3cret"), printed.npos) << printed;
    }
    client->debug_level = 0;
    // Line breaks or a NUL in an argument: the command is not sent.
    const char *injected = "x\r\nDELE important";
    uint64_t size = 0;
    EXPECT_EQ(client->user(client.ftp, injected) + client->pass(client.ftp, "pw\nDELE x") +
                  client->type(client.ftp, "I\rDELE x") + client->cwd(client.ftp, "a%cb", 0) +
                  client->size(client.ftp, &size, "%s", injected) +
                  client->open_stream(client.ftp, 0, "RETR %s\r\n", injected) +
                  client->open_stream(client.ftp, 0, "RETR a%cb\r\n", 0),
              0);
    for (auto command :
         {client->cwd, client->dele, client->rnfr, client->rnto, client->nlist, client->list})
        EXPECT_EQ(command(client.ftp, "%s", injected), 0);
    {
        // The command's text is made, but not the block it is sent from:
        // a command reported as not sent never goes out with a later one.
        RefuseBlocks refuse(sizeof "NOOP\r\n", 1, 1);
        EXPECT_EQ(client->noop(client.ftp), 0);
        EXPECT_EQ(RefuseBlocks::refused, 1);
    }
    {
        // The reply's text cannot be kept: the size is not known.
        RefuseBlocks refuse(201, 1);
        EXPECT_EQ(client->size(client.ftp, &size, "%s", "f"), 0);
        EXPECT_EQ(RefuseBlocks::refused, 1);
    }
    EXPECT_EQ(client->size(client.ftp, &size, "%s", "f"), 1);
    EXPECT_EQ(size, 42u);
    client->control_timeout = 100;
    {
        // No copy of the reply line: the wait ends instead of spinning, and
        // the connection goes rather than leave the line for the next
        // command to take as its reply.
        RefuseBlocks refuse(uncopied.size() - 1);
        EXPECT_EQ(client->dele(client.ftp, "%s", "f"), 0);
        EXPECT_LE(RefuseBlocks::refused, 3) << "the wait spun on the line";
        EXPECT_EQ(client->control_socket, -1);
    }
    client->disconnect(client.ftp);
    EXPECT_EQ(server.finish(), (Strings{"NOOP", "CWD ../x", "PWD", "PWD", "PWD", "RNFR a b",
                                        "RNTO c", "PASS s3cret", "SIZE f", "SIZE f", "DELE f"}));
}

// In active mode hosts other than the server (127.0.0.2 here) that learned
// the announced port connect and send bytes of their own, three before
// every pump call until the server's connection is taken: they are turned
// away, and the server's connection behind them carries the transfer.
kuv_ftp_pump_t g_real_pump = nullptr;
int g_strangers = 0;
uint32_t pump_after_strangers(kuv_ftp_t *ftp, int32_t control_wait, int32_t data_wait) {
    for (int each = 0; each < 3 && g_strangers < 60 && ftp->data_endpoint &&
                       ftp->data_endpoint->is_server && ftp->accepted_socket == -1;
         ++each) {
        sockaddr_in listener{}, from{};
        socklen_t length = sizeof listener;
        getsockname(ftp->endpoint_socket, reinterpret_cast<sockaddr *>(&listener), &length);
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl(0x7F000002);
        const int stranger = socket(AF_INET, SOCK_STREAM, 0);
        if (bind(stranger, reinterpret_cast<sockaddr *>(&from), sizeof from) == 0 &&
            connect(stranger, reinterpret_cast<sockaddr *>(&listener), length) == 0 &&
            send_all(stranger, "forged by a stranger"))
            ++g_strangers;
        close(stranger);
    }
    return g_real_pump(ftp, control_wait, data_wait);
}

TEST_F(ScriptedFtp, DataConnectionsAreMadeOnlyWithTheControlPeerAndTheFirstUsablePassiveLine) {
    int other_port = 0;
    const int other = loopback_socket(false, &other_port);
    FakeFtp script;
    script.files["f"] = "data";
    // Nothing listens on 127.0.0.2: only the port may be taken from it.
    script.passive_replies = {"227 Entering Passive Mode (127,0,0,2,{p1,p2}).\r\n",
                              "227-Entering Passive Mode (127,0,0,1,{p1,p2})\r\n227-(127,0,0,1," +
                                  std::to_string(other_port / 256) + "," +
                                  std::to_string(other_port % 256) + ")\r\n229 Extended (|||" +
                                  std::to_string(other_port) + "|)\r\n227 end\r\n"};
    const size_t usable = script.passive_replies.size();
    // What does not fit or lacks its delimiters is ignored: active mode
    // takes over. (Each names the listener's port, so a reply taken for
    // usable would be followed and keep passive mode.)
    for (const std::string &unusable :
         Strings{"227 Entering Passive Mode 127,0,0,1,{p1,p2}", "227 Mode ) 127,0,0,1,{p1,p2}",
                 "227 (" + std::string(60, '1') + ",0,0,1,{p1,p2})", "227 (127,0,0,1,0,{port})",
                 "229 (||{port}|)", "229 (|||{port})"})
        script.passive_replies.push_back(unusable + "\r\n");
    const size_t count = script.passive_replies.size();
    FakeServer server(script);
    Client client;
    ASSERT_TRUE(client.open(server.port()));
    for (size_t each = 0; each < count; ++each) {
        client->passive = 1;
        EXPECT_EQ(client.retrieve("f"), "data") << each;
        EXPECT_EQ(client->passive, each < usable ? 1u : 0u) << each;
    }
    EXPECT_FALSE(wait_readable(other, 200)) << "a later passive line was followed";
    close(other);
    g_real_pump = client->pump;
    client->pump = pump_after_strangers;
    EXPECT_EQ(client.retrieve("f"), "data");
    EXPECT_EQ(client->passive, 0u);
    EXPECT_GE(g_strangers, 3);
    client->pump = g_real_pump;
}

// Preliminary replies may come while a transfer runs (a second 150, a 110
// restart marker) and a transfer may end with 250 as well as 226: the
// transfer is clean, and the final reply is not left for the next command.
// Last, a server that sends the file, says 226 and hangs up before the
// client reads: the end of the control connection ends the data connection
// too, and the bytes it held are lost. The transfer must not close as clean.
TEST_F(ScriptedFtp, PreliminaryRepliesAndA250CompleteTheTransferInStepAndALostControlFailsIt) {
    FakeFtp script;
    const std::string file = pattern_bytes(200000, 3);
    script.files["f"] = file;
    FakeServer server(script);
    Client client;
    ASSERT_TRUE(client.open(server.port()));
    for (const char *completion :
         {"150 still here\r\n110 MARK 0 = 100\r\n226 done\r\n", "250 file action done\r\n"}) {
        script.completion = completion;
        // A restart marker may come before the announcement too.
        script.announcement = completion[0] == '1' ? "110 MARK 0 = 0\r\n150 go\r\n" : "125 go\r\n";
        EXPECT_EQ(client.retrieve("f"), file) << completion;
        ASSERT_EQ(client->open_stream(client.ftp, 0, "STOR %s\r\n", "up"), 1) << completion;
        EXPECT_EQ(client->write_stream(client.ftp, "uploaded", 8), 8);
        // No bytes end the upload, whatever size comes with them.
        EXPECT_EQ(client->write_stream(client.ftp, nullptr, completion[0] == '1' ? 0 : 1ull << 32),
                  0);
        EXPECT_EQ(client->close_stream(client.ftp), 1) << completion;
        EXPECT_EQ(client->noop(client.ftp), 1) << completion;
    }
    // A preliminary reply of several lines in the middle of the transfer,
    // with the rest of the file coming later than the reply wait.
    script.completion = "226 done\r\n";
    script.midway = "110-MARK\r\n110 MARK 0 = 100000\r\n";
    client->control_timeout = 200;
    const std::string got = client.retrieve("f");
    EXPECT_TRUE(got == file) << got.substr(0, 40) << " (" << got.size() << " bytes)";
    EXPECT_EQ(client->noop(client.ftp), 1);
    script.midway.clear();
    script.hang_up_after.insert("f");
    ASSERT_EQ(client->open_stream(client.ftp, 0, "RETR %s\r\n", "f"), 1);
    script.release_hang_up = true;
    server.finish();  // all sent, 226 said, hung up
    const std::string rest = client.read_to_end();
    EXPECT_TRUE(rest == file || rest == "{not closed cleanly}")
        << "clean close with " << rest.size();
}

TEST_F(ScriptedFtp, OneSessionOutlivesBrokenListingsRefusedLostAndStalledTransfers) {
    FakeFtp script;
    script.files = {{"f", "second try"}, {"slow", "never sent"}, {"big", std::string(300000, 'b')}};
    script.stalled.insert("slow");
    script.cut.insert("lost");
    FakeServer server(script);
    Client client;
    // "No limit" (all ones): each reply wait still ends once its bytes came.
    client->control_timeout = UINT32_MAX;
    client->data_timeout = 2000;
    client->passive = 1;
    ASSERT_TRUE(client.open(server.port()));
    // A transfer command with a bare CR as its end goes with CR LF: the
    // next command is not glued to it.
    ASSERT_EQ(client->open_stream(client.ftp, 0, "RETR %s\r", "f"), 1);
    EXPECT_EQ(client->close_stream(client.ftp), 1);
    EXPECT_EQ(client->noop(client.ftp), 1);
    // Listings end at the last line or an empty one; an endless line fails.
    script.listing = "first\r\nsecond\n\nafter the gap\r\n";
    ASSERT_EQ(client->list(client.ftp, "%s", "dir"), 1);
    EXPECT_EQ(drain(client->get_list, client.ftp), (Strings{"first", "second"}));
    script.listing = "a\r\nb\r\nlast without end";
    ASSERT_EQ(client->nlist(client.ftp, "%s", ""), 1);
    EXPECT_EQ(drain(client->get_nlist, client.ftp), (Strings{"a", "b", "last without end"}));
    // Nothing matches: the 450 some servers answer then is an empty listing
    // (list takes the same way).
    script.refusals = {"450-none\r\n450 No files found\r\n"};
    EXPECT_EQ(client->nlist(client.ftp, "%s", "*.none"), 1);
    EXPECT_EQ(client->get_nlist(client.ftp), nullptr);
    EXPECT_EQ(client->noop(client.ftp), 1);
    script.listing = "ok\r\n" + std::string(KUV_FTP_LINE_LIMIT + 100000, 'n');
    EXPECT_EQ(client->nlist(client.ftp, "%s", ""), 0);
    EXPECT_EQ(client->nlist_lines, nullptr);
    // No assembler for the first chunk: its names would be lost while the
    // later chunks' names came out as the whole listing.
    script.listing.clear();
    for (int name = 0; script.listing.size() < 50000; ++name)
        script.listing += "name" + std::to_string(10000 + name) + "\r\n";
    client->passive = 0;  // no passive reply text of the refused size
    {
        RefuseBlocks refuse(sizeof(kuv_readline_t), 1);
        EXPECT_EQ(client->nlist(client.ftp, "%s", ""), 0);
        EXPECT_EQ(RefuseBlocks::refused, 1);
    }
    EXPECT_EQ(client->nlist_lines, nullptr);
    ASSERT_EQ(client->nlist(client.ftp, "%s", ""), 1);
    EXPECT_EQ(drain(client->get_nlist, client.ftp).size(), script.listing.size() / 11);
    // Nor for one name, in the middle or as the last line without an end:
    // the listing fails rather than come out without it.
    // A line's block holds its text, the terminator and, aligned, its node.
    const auto line_block = [](uint64_t text) {
        constexpr uint64_t kAlign = alignof(kuv_readline_node_t);
        return (text + kAlign) / kAlign * kAlign + sizeof(kuv_readline_node_t);
    };
    for (const bool last : {false, true}) {
        const std::string whole = script.listing;
        if (last) script.listing += std::string(40, 'z');
        RefuseBlocks refuse(line_block(last ? 40 : 9), 1, last ? 0 : 100);
        EXPECT_EQ(client->nlist(client.ftp, "%s", ""), 0) << last;
        EXPECT_EQ(RefuseBlocks::refused, 1);
        EXPECT_EQ(client->nlist_lines, nullptr);
        script.listing = whole;
    }
    // A refused transfer is tried again in the other mode.
    script.refusals = {"425 cannot open\r\n", "", "426 aborted\r\n", "", "550 not now\r\n", ""};
    for (int each = 0; each < 3; ++each) {
        client->passive = 1;
        EXPECT_EQ(client.retrieve("f"), "second try") << each;
        EXPECT_EQ(client->passive, 0u);
    }
    // Bytes left by an abandoned transfer never reach the next one.
    char area[100];
    ASSERT_EQ(client->open_stream(client.ftp, 0, "RETR %s\r\n", "big"), 1);
    while (client->read_stream(client.ftp, area, sizeof area) == 0)
        kuv_xapi_load_balance();
    EXPECT_GT(kuv_xapi_get_buffer_size(client->download_buffer), 0) << "nothing left behind";
    OutputCapture output(1);
    EXPECT_EQ(client->read_stream(client.ftp, area, 0), 0);  // and prints nothing
    EXPECT_EQ(output.finish(), "");
    client->close_stream(client.ftp);
    EXPECT_EQ(client.retrieve("f"), "second try");
    // Refused in both modes: the transfer fails with nothing left open.
    client->passive = 1;
    EXPECT_EQ(client->open_stream(client.ftp, 0, "RETR %s\r\n", "missing"), 0);
    EXPECT_TRUE(client->error_flags & KUV_FTP_CONNECTION_FAILURE);
    EXPECT_EQ(client->data_endpoint, nullptr);
    // An upload whose connection the server resets says so and keeps
    // nothing for the next transfer.
    const std::string many(16 << 20, 'u');
    ASSERT_EQ(client->open_stream(client.ftp, 0, "STOR %s\r\n", "lost"), 1);
    EXPECT_EQ(client->write_stream(client.ftp, many.data(), many.size()), -1);
    EXPECT_EQ(kuv_xapi_get_buffer_size(client->upload_buffer), 0);
    EXPECT_EQ(client->close_stream(client.ftp), 0);
    // One that the socket took whole, reset unread and confirmed with 226
    // all the same: the bytes never reached the server.
    script.cut_reply = script.completion;
    ASSERT_EQ(client->open_stream(client.ftp, 0, "STOR %s\r\n", "lost"), 1);
    client->write_stream(client.ftp, "uploaded", 8);
    EXPECT_EQ(client->write_stream(client.ftp, nullptr, 0), 0);
    EXPECT_EQ(client->close_stream(client.ftp), 0);
    EXPECT_EQ(client->noop(client.ftp), 1);
    script.cut_reply = "426 transfer aborted\r\n";
    // Reads wait with 0; past the data time-out a silent connection is dead.
    client->error_flags = 0;
    client->data_timeout = 0;
    ASSERT_EQ(client->open_stream(client.ftp, 0, "RETR %s\r\n", "slow"), 1);
    EXPECT_EQ(client->read_stream(client.ftp, area, sizeof area), 0);
    EXPECT_EQ(client->read_stream(client.ftp, area, sizeof area), -1);
    EXPECT_TRUE(client->error_flags & KUV_FTP_CONNECTION_FAILURE);
    EXPECT_EQ(client->close_stream(client.ftp), 0);
    // A transfer confirmed without the active-mode data connection it
    // announced ever being made moved nothing, in either order of the wait
    // for the connection and the 226.
    script.unconnected.insert("f");
    client->passive = 0;
    for (const uint32_t accept_wait : {300u, 0u}) {
        client->accept_timeout = accept_wait;
        EXPECT_EQ(client.retrieve("f"), "{not closed cleanly}") << accept_wait;
        EXPECT_EQ(client->noop(client.ftp), 1);
    }
    script.unconnected.clear();
    client->accept_timeout = KUV_FTP_DEFAULT_ACCEPT_TIMEOUT;
    // An active upload the server stops reading for longer than the data
    // time-out fails, and so does its close, although the server then finds
    // an orderly end and answers 226 for the bytes it got.
    script.stalled.insert("late");
    client->passive = 0;
    client->error_flags = 0;
    client->data_timeout = 300;
    ASSERT_EQ(client->open_stream(client.ftp, 0, "STOR %s\r\n", "late"), 1);
    EXPECT_EQ(client->write_stream(client.ftp, many.data(), many.size()), -1);
    EXPECT_EQ(client->close_stream(client.ftp), 0);
    EXPECT_TRUE(client->error_flags & KUV_FTP_CONNECTION_FAILURE);
}

// A listing of short lines that goes on past the listing's bound fails like
// an endless line and keeps no lines.
TEST_F(ScriptedFtp, AListingPastItsBoundFails) {
    // Long lines past the bound; then line ends alone, few bytes but a line
    // each, which costs the client many times its byte.
    const std::string long_line = std::string(65534, 'l') + "\r\n";
    for (const bool line_ends : {false, true}) {
        FakeFtp script;
        if (line_ends)
            script.listing.assign(KUV_FTP_LISTING_LIMIT / KUV_FTP_LISTING_LINE_COST, '\n');
        while (script.listing.size() <= KUV_FTP_LISTING_LIMIT && !line_ends)
            script.listing += long_line;
        FakeServer server(script);
        Client client;
        client->control_timeout = UINT32_MAX;
        client->passive = 1;
        ASSERT_TRUE(client.open(server.port()));
        EXPECT_EQ(client->list(client.ftp, "%s", ""), 0) << line_ends;
        EXPECT_EQ(client->list_lines, nullptr);
        EXPECT_TRUE(client->error_flags & KUV_FTP_CONNECTION_FAILURE);
    }
}

TEST_F(ScriptedFtp, AReplyNotWholeInTimeDropsTheConnectionInsteadOfAnsweringTheNextCommand) {
    // The server answers DELE after the client stopped waiting, or trickles
    // NOOP's reply in byte by byte, or ends a transfer late; the command
    // after would take that reply for its own (the refused RNTO, the DELE
    // after the transfer) and report success.
    const std::function<int32_t(Client &)> late_ones[] = {
        [](Client &client) { return client->dele(client.ftp, "%s", "f"); },
        [](Client &client) { return client->noop(client.ftp); },
        [](Client &client) {
            return client->open_stream(client.ftp, 0, "RETR %s\r\n", "f") == 1 &&
                   client.read_to_end() == "data";
        }};
    for (int each = 0; each < 4; ++each) {
        FakeFtp script;
        script.answers["DELE"] = "250 deleted\r\n";
        script.answers["RNTO"] = "550 refused\r\n";
        script.files["f"] = "data";
        script.completion = "250 done\r\n";
        if (each < 3) script.late[each == 0 ? "DELE" : "RETR"] = 800;
        // A reply the reader meets while the transfer runs, its last line
        // late.
        if (each == 3) script.midway = "250-stats\r\n{pause}250 done\r\n";
        script.pause_ms = 800;
        // Trickled for two seconds: however late the client gets to read,
        // it cannot find the line whole within its 300 ms.
        if (each == 1) {
            script.trickled.insert("NOOP");
            script.answers["NOOP"] = "200 a reply that comes a byte at a time\r\n";
        }
        FakeServer server(script);
        Client client;
        ASSERT_TRUE(client.open(server.port()));
        client->passive = 1;
        client->control_timeout = 300;
        EXPECT_FALSE(late_ones[std::min(each, 2)](client)) << each;
        EXPECT_EQ(client->control_socket, -1) << each;
        client->control_timeout = 3000;
        const int32_t after =
            each >= 2 ? client->dele(client.ftp, "%s", "g") : client->rnto(client.ftp, "%s", "g");
        EXPECT_EQ(after, 0) << each;
    }
}

TEST_F(ScriptedFtp, SlowButSteadyRepliesAndFailedTransfersKeepTheSession) {
    // Reply lines that come whole within the wait, the inner lines of a
    // reply among them, while the whole reply takes longer.
    FakeFtp script;
    script.welcome = "220-hello\r\n{pause} inner\r\n{pause}220 ready\r\n";
    script.answers["NOOP"] = "200-a\r\n{pause} b\r\n{pause} c\r\n{pause}200 end\r\n";
    script.files = {{"lost", std::string(100000, 'l')}, {"f", "data"}};
    script.cut.insert("lost");
    FakeServer server(script);
    Client client;
    client->control_timeout = 300;
    ASSERT_TRUE(client.open(server.port()));
    EXPECT_EQ(client->noop(client.ftp), 1);
    EXPECT_STREQ(client->reply_text, "end");
    // A transfer failed by its reply, then one the server refuses in both
    // modes: neither close waits for a final reply that was given.
    client->passive = 1;
    EXPECT_EQ(client.retrieve("lost"), "{not closed cleanly}");
    EXPECT_EQ(client->open_stream(client.ftp, 0, "RETR %s\r\n", "missing"), 0);
    EXPECT_EQ(client->close_stream(client.ftp), 0);
    EXPECT_NE(client->control_socket, -1);
    client->passive = 1;
    EXPECT_EQ(client.retrieve("f"), "data");
    EXPECT_EQ(client->noop(client.ftp), 1);
    // The server closes as it says goodbye: the client's side stays open
    // until disconnect.
    EXPECT_EQ(client->quit(client.ftp), 1);
    EXPECT_NE(client->control_socket, -1);
    EXPECT_EQ(client->disconnect(client.ftp), 1);
}

// The client's own operations, for replacements that call them.
int32_t (*g_own_disconnect)(kuv_ftp_t *);
kuv_ftp_read_stream_t g_own_read;
int32_t quit_then_disconnect(kuv_ftp_t *ftp) {
    if (ftp->control_socket != -1) ftp->quit(ftp);
    return g_own_disconnect(ftp);
}
// Answers more than it was asked for, when asked for more than this.
uint64_t g_overstated_above;
int32_t overstated_read(kuv_ftp_t *ftp, void *destination, uint64_t size) {
    const int32_t count = g_own_read(ftp, destination, size);
    return count > 0 && size > g_overstated_above ? static_cast<int32_t>(size) + count : count;
}

// Replaced slots: a read that answers more than it was asked for fails the
// listing and the download that called it, which would otherwise take
// bytes from behind their areas. A disconnect that sends QUIT, as an
// application that ends its sessions politely puts there: close runs it
// while the handle is whole, and what the goodbye made (command and reply
// buffers, the reply's text) is released with the rest; where the
// connection is lost, the client's own disconnect ends the goodbye.
TEST_F(ScriptedFtp, ReplacedSlotsThatCallTheClientBackOrAnswerTooMuchLeaveItWhole) {
    ScratchDirectory scratch;
    FakeFtp script;
    script.listing = "f\r\n";
    script.files = {{"f", "data"}};
    FakeServer server(script);
    Client client;
    client->passive = 1;
    ASSERT_TRUE(client.open(server.port()));
    g_own_read = client->read_stream;
    g_overstated_above = 0;
    client->read_stream = overstated_read;
    EXPECT_EQ(client->nlist(client.ftp, "%s", "."), 0);
    EXPECT_EQ(client->noop(client.ftp), 1);
    g_own_disconnect = client->disconnect;
    client->disconnect = quit_then_disconnect;
    client.ftp = kuv_xapi_close_ftp(client.ftp);
    EXPECT_EQ(server.finish().back(), "QUIT");
    Client downloader;
    downloader->passive = 1;
    downloader->read_stream = overstated_read;
    g_overstated_above = 32768;  // the listing's reads are right, the file's not
    FakeServer second(script);
    int32_t downloaded;
    {
        OutputCapture output(1);
        downloaded =
            downloader->download(downloader.ftp, 0644, "ftp://127.0.0.1:%d/f", second.port());
    }
    EXPECT_EQ(downloaded, 0);
    EXPECT_FALSE(exists("f"));
    // The same goodbye on a connection the server has closed: its QUIT
    // fails, and the connection goes without the slot being called again
    // from its own goodbye, and again.
    EXPECT_EQ(downloader->quit(downloader.ftp), 1);
    EXPECT_EQ(second.finish().back(), "QUIT");
    downloader->disconnect = quit_then_disconnect;
    EXPECT_EQ(downloader->noop(downloader.ftp), 0);
    EXPECT_EQ(downloader->control_socket, -1);
}

// A one-call download of path (every file, by default) from a scripted
// server; what it printed in *printed, else kept quiet.
int32_t download(FakeFtp &script, const char *path = "/*", std::string *printed = nullptr) {
    FakeServer server(script);
    Client client;
    client->passive = 1;
    OutputCapture output(1);
    const int32_t result =
        client->download(client.ftp, 0644, "ftp://127.0.0.1:%d%s", server.port(), path);
    if (printed) *printed = output.finish();
    return result;
}

TEST_F(ScriptedFtp, DownloadsStayInTheCurrentDirectoryAndRemoveWhatFailed) {
    ScratchDirectory scratch;
    ASSERT_TRUE(scratch.ok);
    // Hostile names: a server may list anything, and only the names the URI
    // asks for are fetched, by their base names, here. A link of a listed
    // name, dangling or not, is replaced, and what it names is neither made
    // nor touched. A name's control bytes do not reach the terminal.
    const std::string absolute = scratch.parent + "/absolute.txt";
    const std::string outside = scratch.parent + "/outside.txt";
    const std::string titled = "esc\x1b]0;x\x07.txt";
    ASSERT_TRUE(write_file(scratch.parent + "/kept.txt", "kept"));
    ASSERT_TRUE(write_file(".profile", "mine"));
    ASSERT_EQ(symlink(outside.c_str(), "dangling.txt"), 0);
    ASSERT_EQ(symlink((scratch.parent + "/kept.txt").c_str(), "kept.txt"), 0);
    FakeFtp script;
    script.files = {{"../escape.txt", "1"}, {absolute, "2"}, {"sub/../../deep.txt", "3"}};
    script.files.insert({{"dangling.txt", "4"}, {"kept.txt", "5"}, {".profile", "6"}});
    script.files.insert({{titled, "7"}});
    for (const auto &[name, bytes] : script.files)
        script.listing += name + "\r\n";
    std::string printed;
    EXPECT_EQ(download(script, "/*", &printed), 1);
    EXPECT_EQ(read_file("dangling.txt") + read_file("kept.txt") + read_file(titled), "457");
    EXPECT_EQ(printed.find_first_of("\x1b\x07"), printed.npos) << printed;
    EXPECT_FALSE(exists("escape.txt") || exists("absolute.txt") || exists("deep.txt"));
    EXPECT_FALSE(exists(scratch.parent + "/escape.txt") || exists(absolute) ||
                 exists(scratch.parent + "/deep.txt") || exists(outside));
    EXPECT_EQ(read_file(scratch.parent + "/kept.txt"), "kept");
    // One file asked for: the others listed with it are not fetched, and a
    // listing of none of it fetches nothing.
    EXPECT_EQ(download(script, "/kept.txt"), 1);
    EXPECT_EQ(read_file(".profile"), "mine");
    script.listing = ".profile\r\n";
    EXPECT_EQ(download(script, "/kept.txt"), 0);
    EXPECT_EQ(read_file(".profile"), "mine");
    // The directory's own files are listed by name: one listed with
    // another directory is none of them.
    script.listing = "elsewhere/.profile\r\n";
    script.files = {{"elsewhere/.profile", "6"}};
    EXPECT_EQ(download(script, "/"), 0);
    EXPECT_EQ(read_file(".profile"), "mine");
    // A directory asked for with its '/' whose files are listed by name
    // alone, as some servers list them: each is fetched from the directory.
    // Asked for without the '/', the name is a file's, and those are not.
    script.listing = "d.txt\r\n";
    script.files = {{"y/d.txt", "D"}};
    EXPECT_EQ(download(script, "/y"), 0);
    EXPECT_FALSE(exists("d.txt"));
    EXPECT_EQ(download(script, "/y/"), 1);
    EXPECT_EQ(read_file("d.txt"), "D");
    // A name with wildcard bytes, listed as itself by a server that expands
    // none: '[x]' does not match itself as a pattern.
    script.listing = "b[x].txt\r\n";
    script.files = {{"b[x].txt", "E"}};
    EXPECT_EQ(download(script, "/b[x].txt"), 1);
    EXPECT_EQ(read_file("b[x].txt"), "E");
    // A listed name whose local name cannot be made fails the download.
    const std::string second(77, 'q');
    script.listing = "a.txt\r\n" + second + "\r\n";
    script.files = {{"a.txt", "A"}, {second, "Q"}};
    {
        RefuseBlocks refuse(second.size() + 1, 1);
        EXPECT_EQ(download(script), 0);
        EXPECT_EQ(RefuseBlocks::refused, 1);
    }
    EXPECT_TRUE(exists("a.txt"));
    EXPECT_FALSE(exists(second));
    // The directory itself and its parent, which some servers list among
    // the names, are no files to fetch.
    script.listing = "x/.\r\nx/..\r\n..\r\nx/b.txt\r\n";
    script.files = {{"x/.", "dot"}, {"x/..", "dotdot"}, {"..", "up"}, {"x/b.txt", "B"}};
    EXPECT_EQ(download(script, "/x"), 1);
    EXPECT_EQ(read_file("b.txt"), "B");
    // Two listed names of one base name (a wildcard over directories): the
    // second fails rather than replace the file the first made. The same
    // name listed twice is no such pair.
    script.answers["CWD"] = "550 no such directory\r\n";
    script.listing = "x/c.txt\r\ny/c.txt\r\nc.txt\r\n";
    script.files = {{"x/c.txt", "X"}, {"y/c.txt", "Y"}, {"c.txt", "C"}};
    EXPECT_EQ(download(script, "/*/c.txt"), 0);
    EXPECT_EQ(read_file("c.txt"), "X");
    script.listing = "c.txt\r\nc.txt\r\n";
    EXPECT_EQ(download(script, "/*/c.txt"), 1);
    EXPECT_EQ(read_file("c.txt"), "C");
    script.answers["CWD"] = "250 done\r\n";
    // A transfer cut by the server (first a new file, then over an earlier
    // one, which goes too); one cut with a 226 all the same, as a server
    // that queued its last bytes before the connection was reset says; a
    // close that tells of a lost write after every byte came; a full disk;
    // local names that cannot be written. Each download fails, removes what
    // it wrote and fetches nothing after it.
    ASSERT_EQ(mkdir("taken", 0755), 0);
    ASSERT_TRUE(write_file("taken/inside", "keep"));
    script.cut = {"new.bin", "reset.bin"};
    for (const std::string name :
         {"new.bin", "new.bin", "reset.bin", "late.bin", "empty.bin", "full.bin", "/", "taken"}) {
        script.cut_reply = name == "reset.bin" ? script.completion : "426 transfer aborted\r\n";
        script.listing = name + "\r\nnever.bin\r\n";
        script.files = {{name, name == "empty.bin" ? "" : pattern_bytes(200000, 1)},
                        {"never.bin", "x"}};
        g_failing_close = name == "late.bin" || name == "empty.bin" ? name.c_str() : nullptr;
        g_full_disk = name == "full.bin" ? name.c_str() : nullptr;
        EXPECT_EQ(download(script), 0) << name;
        g_failing_close = g_full_disk = nullptr;
        EXPECT_FALSE(exists("never.bin")) << "went on after " << name;
        EXPECT_FALSE(name.ends_with(".bin") && exists(name)) << name;
        if (name == "new.bin") write_file(name, "earlier");
    }
    EXPECT_EQ(read_file("taken/inside"), "keep");
    // A server that ends the data early in good order and confirms it with
    // 226 sends fewer bytes than its SIZE told: the file came short. One that
    // sends more (a file that grew since) lost nothing.
    script.listing = "short.bin\r\n";
    script.answers["SIZE"] = "213 200001\r\n";
    for (const size_t sent : {200000, 200002}) {
        script.files = {{"short.bin", pattern_bytes(sent, 2)}};
        EXPECT_EQ(download(script), sent > 200001 ? 1 : 0) << sent;
        EXPECT_EQ(exists("short.bin"), sent > 200001) << sent;
    }
    // A size past 32 bits is taken whole: cut to 32 bits it would be 1, and
    // the short file would pass for a whole one.
    script.answers["SIZE"] = "213 4294967297\r\n";
    EXPECT_EQ(download(script), 0);
}

}  // namespace
