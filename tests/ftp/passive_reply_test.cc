// The data address of 227 and 229 replies, read from the reply text alone.
#include <gtest/gtest.h>

#include <string>

#include "ftp/passive_reply.h"

namespace {

using kuv::ftp::parse_227;
using kuv::ftp::parse_229;

struct Usable {
    const char *text;
    const char *address;
    uint32_t port;
};

TEST(PassiveReply227, ReadsTheAddressAndThePortOfEveryUsableForm) {
    const Usable cases[] = {
        {"Entering Passive Mode (192,0,2,7,19,137)", "192.0.2.7", 5001},
        {"Entering Passive Mode (10,0,0,1,0,0).", "10.0.0.1", 0},
        {"Entering Passive Mode (127,0,0,1,255,255)", "127.0.0.1", 65535},
        // Numbers of 256 and more are shifted and or-ed, not multiplied.
        {"(127,0,0,1,0,5001)", "127.0.0.1", 5001},
        // Blanks before a number are skipped, as the server's scanf would.
        {"Mode (127, 0, 0, 1, 4, 1) ok", "127. 0. 0. 1", 1025},
        {"x) (1,2,3,4,5,6)", "1.2.3.4", 1286},
        {"(1,2,3,4,5,6,7)", "1.2.3.4", 1286},
    };
    for (const Usable &each : cases) {
        const auto reply = parse_227(each.text);
        EXPECT_TRUE(reply.usable) << each.text;
        EXPECT_STREQ(reply.address, each.address) << each.text;
        EXPECT_EQ(reply.port, each.port) << each.text;
    }
}

TEST(PassiveReply227, IgnoresTextsThatDoNotFitOrDoNotParse) {
    const std::string overlong = "(" + std::string(40, '1') + ",0,0,1,4,1)";
    const char *cases[] = {
        "Entering Passive Mode",              // no digit
        "Entering Passive Mode 1,2,3,4,5,6",  // no ')'
        ") 127,0,0,1,4,1",                    // ')' before the first digit
        "(127,0,0,1)",                        // three commas
        "(127,0,0,1,4)",                      // one port number
        "(127,0,0,1,4,)",                     // the second one empty
        "(127,0,0,1,4;1)",                    // no comma between them
        "(127,0,0,1,-4,1)",                   // a sign
        "(127,0,0,1,256,0)",                  // port above 65535
        "(127,0,0,1,4,99999999999999)",       // a number past any port
        overlong.c_str(),                     // longer than the 45-byte area
    };
    for (const char *text : cases)
        EXPECT_FALSE(parse_227(text).usable) << text;
    // The longest copy that fits is 44 bytes.
    const std::string fits = "(" + std::string(34, '1') + ",0,0,1,4,1)";
    EXPECT_TRUE(parse_227(fits).usable);
    EXPECT_FALSE(parse_227("(" + std::string(35, '1') + ",0,0,1,4,1)").usable);
}

TEST(PassiveReply229, ReadsThePortBetweenTheDelimiters) {
    const Usable cases[] = {
        {"Entering Extended Passive Mode (|||6446|)", "", 6446},
        {"(|||0|)", "", 0},
        {"(|||65535|)", "", 65535},
        {"(|1|::1|6446|)", "", 6446},
        {"(||| 21|)", "", 21},
    };
    for (const Usable &each : cases) {
        const auto reply = parse_229(each.text);
        EXPECT_TRUE(reply.usable) << each.text;
        EXPECT_STREQ(reply.address, each.address);
        EXPECT_EQ(reply.port, each.port) << each.text;
    }
}

TEST(PassiveReply229, IgnoresRepliesWithoutTheirDelimitersOrAFittingPort) {
    const std::string overlong = "(|||" + std::string(45, '1') + "|)";
    const char *cases[] = {
        "Entering Extended Passive Mode",  // no delimiter
        "(||6446|)",                       // two leading delimiters
        "(|||6446)",                       // no closing delimiter
        "(||||)",                          // nothing between them
        "(|||65536|)",                     // port above 65535
        "(|||64a6|)",                      // not a number
        "(|||6446 |)",                     // something behind the number
        "(|||-1|)",                        // a sign
        overlong.c_str(),
    };
    for (const char *text : cases)
        EXPECT_FALSE(parse_229(text).usable) << text;
}

}  // namespace
