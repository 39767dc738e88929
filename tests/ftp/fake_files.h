// A scripted server that serves a set of files in passive mode the way a
// real server does, except for the files the test marks: those are cut off
// mid-transfer or stalled. Enough of FTP for listings, downloads and
// uploads.
#ifndef KUV_TESTS_FTP_FAKE_FILES_H
#define KUV_TESTS_FTP_FAKE_FILES_H

#include <map>
#include <set>
#include <string>

#include "tests/ftp/fake_server.h"

namespace kuv_ftp_test {

struct FakeFiles {
    std::string listing;                        // what NLST and LIST send
    std::map<std::string, std::string> files;   // name -> bytes, for RETR and SIZE
    std::set<std::string> cut;                  // RETR: half sent, then reset and 426
    std::set<std::string> stalled;              // RETR: nothing until the client gives up
    std::map<std::string, std::string> stored;  // what STOR received, by name
};

// Serves until the client leaves. The data connection of each transfer is
// the passive one of its PASV.
inline void serve_files(FakeSession &session, FakeFiles &files) {
    session.reply("220 fake files\r\n");
    int listener = -1;
    for (;;) {
        const std::string line = session.command();
        if (line.empty()) return;
        const std::string verb = line.substr(0, line.find(' '));
        const std::string argument = line.size() > verb.size() ? line.substr(verb.size() + 1) : "";
        if (verb == "USER") {
            session.reply("331 password please\r\n");
        } else if (verb == "PASS") {
            session.reply("230 logged in\r\n");
        } else if (verb == "TYPE") {
            session.reply("200 type set\r\n");
        } else if (verb == "SYST") {
            session.reply("215 UNIX Type: L8\r\n");
        } else if (verb == "PWD") {
            session.reply("257 \"/\" is the current directory\r\n");
        } else if (verb == "CWD") {
            session.reply("250 changed\r\n");
        } else if (verb == "SIZE") {
            auto found = files.files.find(argument);
            session.reply(found == files.files.end()
                              ? std::string("550 no such file\r\n")
                              : "213 " + std::to_string(found->second.size()) + "\r\n");
        } else if (verb == "PASV") {
            int port = 0;
            listener = session.open_listener(&port);
            session.reply(passive_reply("127,0,0,1", port));
        } else if (verb == "NLST" || verb == "LIST" || verb == "RETR" || verb == "STOR") {
            auto found = files.files.find(argument);
            if (verb == "RETR" && found == files.files.end()) {
                session.reply("550 no such file\r\n");
                continue;
            }
            session.reply("150 here it comes\r\n");
            const int data = accept_within(listener, kFakeWaitMsec);
            if (data < 0) {
                session.reply("425 no data connection\r\n");
                continue;
            }
            if (verb == "STOR") {
                files.stored[argument] = receive_all(data);
                close(data);
                session.reply("226 stored\r\n");
                continue;
            }
            const std::string bytes = verb == "RETR" ? found->second : files.listing;
            const bool file = verb == "RETR";
            if (file && files.cut.count(argument)) {
                send_all(data, bytes.substr(0, bytes.size() / 2));
                reset_close(data);
                session.reply("426 connection closed; transfer aborted\r\n");
            } else if (file && files.stalled.count(argument)) {
                // Quiet until the client closes its end.
                receive_all(data);
                close(data);
                session.reply("426 transfer aborted\r\n");
            } else {
                send_all(data, bytes);
                close(data);
                session.reply("226 transfer complete\r\n");
            }
        } else {
            session.reply("502 not implemented\r\n");
        }
    }
}

}  // namespace kuv_ftp_test

#endif  // KUV_TESTS_FTP_FAKE_FILES_H
