/* The setkey stand-in as a user runs it: setkey files translated into ip xfrm
 * commands (dry run, golden), errors with their lines, the invocation log,
 * and policies really applied in the sandbox's network namespace. */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "command_output.h"
#include "test_files.h"

namespace {

using test_cmd::scratchDir;

/* Runs the stand-in with `args` and extra environment entries "K=V"; a
 * SETKEY_DRY_RUN of this process's is not passed on. */
test_cmd::Run runSetkey(const std::vector<std::string> &args, const std::vector<std::string> &env = {}) {
    return test_cmd::spawn(std::string(IPSEC_BIN_DIR) + "/setkey", args, env, {"SETKEY_DRY_RUN"});
}

std::string golden(const std::string &name) {
    return test_files::goldenPath("setkey-standin/" + name);
}

/* A one-file setkey input in the scratch folder. */
std::string inputFile(const std::string &text) {
    std::string path = scratchDir() + "/setkey-test.conf";
    test_files::write(path, text);
    return path;
}

struct ExampleCase {
    const char *name;
    std::vector<std::string> args;
    std::vector<std::string> env;
};

TEST(SetkeyTranslation, DaemonFilesBecomeTheExpectedIpCommands) {
    for (const char *file : {"full_rewrite", "per_change"}) {
        const std::string conf = golden(std::string(file) + ".conf");
        const ExampleCase cases[] = {
            {"option -n", {"-n", "-f", conf}, {}},
            {"environment SETKEY_DRY_RUN=1", {"-f", conf}, {"SETKEY_DRY_RUN=1"}},
        };
        for (const ExampleCase &c : cases) {
            SCOPED_TRACE(std::string(file) + ", " + c.name);
            test_cmd::Run r = runSetkey(c.args, c.env);
            EXPECT_EQ(0, r.status);
            EXPECT_EQ("", r.err);
            EXPECT_GOLDEN(std::string("setkey-standin/") + file + ".ip", r.out);
        }
    }
}

struct AlgorithmCase {
    const char *setkeyName;
    int keyHexDigits;
    const char *kernelName;
    bool encryption;
};

TEST(SetkeyTranslation, AlgorithmNamesMapToTheKernels) {
    const AlgorithmCase cases[] = {
        {"des-cbc", 16, "cbc(des)", true},
        {"3des-cbc", 48, "cbc(des3_ede)", true},
        {"aes-cbc", 32, "cbc(aes)", true},
        {"aes-cbc", 48, "cbc(aes)", true},
        {"aes-cbc", 64, "cbc(aes)", true},
        {"rijndael-cbc", 32, "cbc(aes)", true},
        {"blowfish-cbc", 32, "cbc(blowfish)", true},
        {"cast128-cbc", 32, "cbc(cast5)", true},
        {"twofish-cbc", 32, "cbc(twofish)", true},
        {"aes-ctr", 40, "rfc3686(ctr(aes))", true},
        {"camellia-cbc", 64, "cbc(camellia)", true},
        {"blowfish-cbc", 10, "cbc(blowfish)", true},
        {"blowfish-cbc", 112, "cbc(blowfish)", true},
        {"cast128-cbc", 10, "cbc(cast5)", true},
        /* Within the kernel's range but not a length AES takes: setkey passes it on and the kernel refuses it. */
        {"aes-cbc", 40, "cbc(aes)", true},
        {"aes-ctr", 72, "rfc3686(ctr(aes))", true},
        {"hmac-sha2-256", 64, "hmac(sha256)", false},
        {"hmac-sha2-384", 96, "hmac(sha384)", false},
        {"hmac-sha2-512", 128, "hmac(sha512)", false},
        {"hmac-md5", 32, "hmac(md5)", false},
        {"hmac-sha1", 40, "hmac(sha1)", false},
        {"hmac-sha256", 64, "hmac(sha256)", false},
        {"hmac-sha384", 96, "hmac(sha384)", false},
        {"hmac-sha512", 128, "hmac(sha512)", false},
        {"hmac-ripemd160", 40, "hmac(rmd160)", false},
        {"aes-xcbc-mac", 32, "xcbc(aes)", false},
    };
    const std::string aesKey = "0x" + std::string(32, 'a');
    for (const AlgorithmCase &c : cases) {
        std::string key = "0x" + std::string(static_cast<size_t>(c.keyHexDigits), '5');
        SCOPED_TRACE(std::string(c.setkeyName) + " with " + std::to_string(c.keyHexDigits * 4) + "-bit key");
        std::string algs = c.encryption ? "-E " + std::string(c.setkeyName) + " " + key
                                        : "-E aes-cbc " + aesKey + " -A " + c.setkeyName + " " + key;
        std::string path = inputFile("add 192.0.2.1 192.0.2.2 esp 0x100 -m tunnel -u 7 " + algs + ";\n");
        test_cmd::Run r = runSetkey({"-n", "-f", path});
        std::string expected = "ip xfrm state add src 192.0.2.1 dst 192.0.2.2 proto esp spi 0x00000100 ";
        expected += c.encryption ? "enc '" + std::string(c.kernelName) + "' " + key
                                 : "enc 'cbc(aes)' " + aesKey + " auth '" + c.kernelName + "' " + key;
        expected += " mode tunnel reqid 7\n";
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ(expected, r.out);
    }
}

TEST(SetkeyTranslation, FlushAndListOptions) {
    const struct {
        const char *option;
        const char *command;
    } cases[] = {
        {"-DF", "ip xfrm state flush\n"}, {"-DPF", "ip xfrm policy flush\n"}, {"-PDF", "ip xfrm policy flush\n"},
        {"-D", "ip xfrm state list\n"},   {"-DP", "ip xfrm policy list\n"},
    };
    for (const auto &c : cases) {
        test_cmd::Run r = runSetkey({"-n", c.option});
        EXPECT_EQ(0, r.status) << c.option;
        EXPECT_EQ(c.command, r.out) << c.option;
    }
}

TEST(SetkeyErrors, TheFirstStatementThatCannotBeParsedEndsTheFile) {
    const std::string key = "0x000102030405060708090a0b0c0d0e0f",
                      authKey = "0xf0e1d2c3b4a5968778695a4b3c2d1e0f00112233";
    const std::string sa = "add 198.51.100.2 203.0.113.9 esp ";
    const struct {
        std::string statement;
        std::string error; /* after "setkey: FILE:2: " */
    } cases[] = {
        {"frobnicate everything;", "frobnicate: unknown statement \"frobnicate\""},
        {sa + "0x2000 -m tunnel -u 3 -E aes-gcm-16 " + key + " -A hmac-sha1 " + authKey + ";",
         "add 198.51.100.2 203.0.113.9 esp 0x2000: unknown encryption algorithm \"aes-gcm-16\""},
        {sa + "0x2001 -m tunnel -u 3 -E aes-cbc 0x0011 -A hmac-sha1 " + authKey + ";",
         "add 198.51.100.2 203.0.113.9 esp 0x2001: key for aes-cbc has 16 bits, which it does not take"},
        {"add 198.51.100.2 203.0.113.9 ah 0x2002 -A hmac-sha1 " + authKey + ";",
         "add: protocol \"ah\" is not supported (only esp)"},
        {sa + "0x2003 -m tunnel -u 3 -A hmac-sha1 " + authKey + ";",
         "add 198.51.100.2 203.0.113.9 esp 0x2003: -A before -E"},
        {sa + "0x2005 -E aes-cbc " + key + " -m tunnel;",
         "add 198.51.100.2 203.0.113.9 esp 0x2005: option \"-m\" after the algorithms"},
        {sa + "0x2006 -m tunnel -u 0x3 -E aes-cbc " + key + ";",
         "add 198.51.100.2 203.0.113.9 esp 0x2006: request id \"0x3\" is not a decimal number"},
        {sa + "0x2007 -E aes-cbc " + key + " -E aes-cbc " + key + ";",
         "add 198.51.100.2 203.0.113.9 esp 0x2007: a second -E"},
        /* Names the data model may hold that setkey does not take. */
        {sa + "0x2009 -m tunnel -u 3 -E 3des " + key + key.substr(2, 16) + " -A hmac-sha1 " + authKey + ";",
         "add 198.51.100.2 203.0.113.9 esp 0x2009: unknown encryption algorithm \"3des\""},
        {sa + "0x200a -m tunnel -u 3 -E aes128 " + key + ";",
         "add 198.51.100.2 203.0.113.9 esp 0x200a: unknown encryption algorithm \"aes128\""},
        {sa + "0x200b -m tunnel -u 3 -E aes-cbc " + key + " -A hmac_sha1 " + authKey + ";",
         "add 198.51.100.2 203.0.113.9 esp 0x200b: unknown authentication algorithm \"hmac_sha1\""},
        /* An HMAC key of another HMAC's length: setkey checks the length itself. */
        {sa + "0x200c -m tunnel -u 3 -E aes-cbc " + key + " -A hmac-sha256 " + authKey + ";",
         "add 198.51.100.2 203.0.113.9 esp 0x200c: key for hmac-sha256 has 160 bits, which it does not take"},
        {sa + "0x200d -m tunnel -u 3 -E aes-cbc " + key + "0011223344556677889900112233445566 ;",
         "add 198.51.100.2 203.0.113.9 esp 0x200d: key for aes-cbc has 264 bits, which it does not take"},
        {sa + "0x -m tunnel -u 3 -E aes-cbc " + key + ";", "add: SPI \"0x\" is not a 32-bit number"},
        {sa + "0x200e -m tunnel -u 3 -E aes-cbc 0x;",
         "add 198.51.100.2 203.0.113.9 esp 0x200e: key for aes-cbc is not 0x and hexadecimal digits"},
        {"add 198.51.100.2 not-an-address esp 0x2004 -m tunnel -u 3 -E aes-cbc " + key + ";",
         "add: destination \"not-an-address\" is not an address"},
        {"add 198.51.100.2 203.0.113.9# esp 0x2008 -m tunnel -u 3 -E aes-cbc " + key + ";",
         "add: protocol \"spdflush\" is not supported (only esp)"},
        {"spdadd 10.1.0.0/24 10.2.0.0/16 any -P out ipsec esp/tunnel/localhost-203.0.113.9/unique:3;",
         "spdadd 10.1.0.0/24 10.2.0.0/16 any -P out: tunnel source \"localhost\" is not an address"},
        {"spdadd 10.1.0.0/33 10.2.0.0/16 any -P out ipsec esp/tunnel/198.51.100.2-203.0.113.9/unique:3;",
         "spdadd: selector \"10.1.0.0/33\" has a bad prefix length"},
        {"spdadd 10.2.0.0/16 10.1.0.0/24 any -P sideways ipsec esp/tunnel/203.0.113.9-198.51.100.2/unique:4;",
         "spdadd: direction \"sideways\" is not in, out or fwd"},
        {"spdadd 10.2.0.0/16 10.1.0.0/24 any -P in ipsec esp/tunnel/203.0.113.9/unique:4;",
         "spdadd 10.2.0.0/16 10.1.0.0/24 any -P in: tunnel request \"esp/tunnel/203.0.113.9/unique:4\" lacks its end "
         "points SRC-DST"},
        /* A '#' in a text cuts the statement: what is left of it runs on into the next line. */
        {"spdadd 10.1.0.0#/24 10.2.0.0/16 any -P out ipsec esp/tunnel/198.51.100.2-203.0.113.9/unique:3;",
         "spdadd: selector \"spdflush\" is not an address"},
        {"spddelete 10.9.0.0/16 10.1.0.0/24 any -P in",
         "spddelete 10.9.0.0/16 10.1.0.0/24 any -P in: policy \"spdflush\" is not ipsec, none or discard"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.statement);
        const std::string path = inputFile("flush;\n" + c.statement + "\nspdflush;\nflush;\n");
        test_cmd::Run r = runSetkey({"-n", "-f", path});
        EXPECT_EQ(1, r.status);
        /* The flush before it is done, nothing after it. */
        EXPECT_EQ("ip xfrm state flush\n", r.out);
        EXPECT_EQ("setkey: " + path + ":2: " + c.error + "\n", r.err);
        /* Messages never carry the keys. */
        EXPECT_EQ(std::string::npos, r.err.find(key.substr(2)));
        EXPECT_EQ(std::string::npos, r.err.find(authKey.substr(2)));
    }
}

/* What setkey takes beyond the daemon's own spelling, as the kernel gets it. */
TEST(SetkeyTranslation, KeysAndRequestIdsAsSetkeyPassesThemOn) {
    const std::string sa = "add 192.0.2.1 192.0.2.2 esp 0x100 -m tunnel -u ";
    const std::string ipSa = "ip xfrm state add src 192.0.2.1 dst 192.0.2.2 proto esp spi 0x00000100 enc 'cbc(aes)' ";
    const std::string pol = "spdadd 10.1.0.0/24 10.2.0.0/16 any -P out ipsec esp/tunnel/192.0.2.1-192.0.2.2/";
    const std::string ipPol = "ip xfrm policy add src 10.1.0.0/24 dst 10.2.0.0/16 dir out priority 2147483648 tmpl "
                              "src 192.0.2.1 dst 192.0.2.2 proto esp reqid ";
    const struct {
        const char *name;
        std::string statements;
        std::string expected;
    } cases[] = {
        {"key of an odd digit count, read with a leading 0", sa + "7 -E aes-cbc 0x" + std::string(31, 'a') + ";",
         ipSa + "0x0" + std::string(31, 'a') + " mode tunnel reqid 7\n"},
        {"key and SPI after 0X", "add 192.0.2.1 192.0.2.2 esp 0X100 -u 7 -E aes-cbc 0X" + std::string(32, 'B') + ";",
         "ip xfrm state add src 192.0.2.1 dst 192.0.2.2 proto esp spi 0x00000100 enc 'cbc(aes)' 0x" +
             std::string(32, 'B') + " mode transport reqid 7\n"},
        /* An SA keeps any request id; a policy's unique id only up to 16383. */
        {"SA request id above 16383", sa + "16384 -E aes-cbc 0x" + std::string(32, 'a') + ";",
         ipSa + "0x" + std::string(32, 'a') + " mode tunnel reqid 16384\n"},
        {"unique request id 16383", pol + "unique:16383;", ipPol + "16383 mode tunnel level required\n"},
        {"unique request ids the kernel makes up",
         pol + "unique:16384;\n" + pol + "unique:18001;\n" + pol + "unique;\n" + pol + "unique:0;\n" + pol +
             "unique:16386;",
         ipPol + "16384 mode tunnel level required\n" + ipPol + "16385 mode tunnel level required\n" + ipPol +
             "16386 mode tunnel level required\n" + ipPol + "16387 mode tunnel level required\n" + ipPol +
             "16388 mode tunnel level required\n"},
    };
    for (const auto &c : cases) {
        test_cmd::Run r = runSetkey({"-n", "-f", inputFile(c.statements + "\n")});
        EXPECT_EQ(0, r.status) << c.name << ": " << r.err;
        EXPECT_EQ(c.expected, r.out) << c.name;
    }
}

TEST(SetkeyTranslation, CommentsStatementsOverSeveralLinesAndHostNames) {
    const std::string path = inputFile("# the tunnel to 203.0.113.9; not a statement\n"
                                       "spdadd localhost 10.2.0.0/16 any -P out ipsec "
                                       "esp/tunnel/198.51.100.2-203.0.113.9/unique:3;\n"
                                       "spdadd 10.1.0.0/24 10.2.0.0/16 any # selectors\n"
                                       "  -P out ipsec\n"
                                       "\tesp/tunnel/198.51.100.2-203.0.113.9/unique:3; flush; # two on a line\n"
                                       "spdflush;\n");
    test_cmd::Run r = runSetkey({"-n", "-f", path});
    EXPECT_EQ(0, r.status) << r.err;
    /* A name is looked up in /etc/hosts (the sandbox's: localhost is 127.0.0.1). */
    EXPECT_EQ("ip xfrm policy add src 127.0.0.1/32 dst 10.2.0.0/16 dir out priority 2147483648 tmpl src 198.51.100.2 "
              "dst 203.0.113.9 proto esp reqid 3 mode tunnel level required\n"
              "ip xfrm policy add src 10.1.0.0/24 dst 10.2.0.0/16 dir out priority 2147483648 tmpl src 198.51.100.2 "
              "dst 203.0.113.9 proto esp reqid 3 mode tunnel level required\n"
              "ip xfrm state flush\nip xfrm policy flush\n",
              r.out);
}

TEST(SetkeyErrors, BadInvocationsAreRefused) {
    const struct {
        const char *name;
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {"no arguments", {}, 2},          {"-f without a file", {"-f"}, 2},
        {"unknown option", {"-x"}, 2},    {"file and flush together", {"-f", golden("per_change.conf"), "-DF"}, 2},
        {"policy flag alone", {"-P"}, 2}, {"missing file", {"-f", "/nonexistent/setkey.conf"}, 1},
    };
    for (const auto &c : cases) {
        test_cmd::Run r = runSetkey(c.args, {"SETKEY_DRY_RUN=1"});
        EXPECT_EQ(c.status, r.status) << c.name;
        EXPECT_EQ("", r.out) << c.name;
        EXPECT_NE("", r.err) << c.name;
    }
}

TEST(SetkeyLog, EachInvocationAppendsItsArguments) {
    const std::string log = scratchDir() + "/setkey-test-tools.log";
    unlink(log.c_str());
    const std::string conf = golden("per_change.conf");
    runSetkey({"-n", "-f", conf}, {"IPSEC_TOOL_LOG=" + log});
    runSetkey({"-n", "-DF"}, {"IPSEC_TOOL_LOG=" + log});
    runSetkey({"-n", "-DPF"}, {"IPSEC_TOOL_LOG=" + log});
    EXPECT_EQ("setkey -n -f " + conf + "\nsetkey -n -DF\nsetkey -n -DPF\n", test_files::read(log));
}

/* ---- the kernel step, in the sandbox's own network namespace ------------- */

std::string ipOutput(const std::string &args) {
    return test_cmd::output("ip " + args + " 2>&1");
}

class SetkeyKernel : public ::testing::Test {
  protected:
    void SetUp() override {
        ipOutput("xfrm policy flush");
        ipOutput("xfrm state flush");
    }
    void TearDown() override {
        /* Nothing may be left behind, whatever the test did. */
        runSetkey({"-DPF"});
        runSetkey({"-DF"});
        EXPECT_EQ("", ipOutput("xfrm policy"));
        EXPECT_EQ("", ipOutput("xfrm state"));
    }
};

const char *const POLICIES = "spdflush;\n"
                             "spdadd 10.1.0.0/24 10.2.0.0/16 any -P out ipsec "
                             "esp/tunnel/198.51.100.2-203.0.113.9/unique:3;\n"
                             "spdadd 10.2.0.0/16 10.1.0.0/24 any -P in ipsec "
                             "esp/tunnel/203.0.113.9-198.51.100.2/unique:4;\n";

TEST_F(SetkeyKernel, PoliciesAreAppliedWithAForwardPolicyBesideTheInboundOne) {
    test_cmd::Run r = runSetkey({"-f", inputFile(POLICIES)});
    EXPECT_EQ(0, r.status) << r.err;
    const struct {
        const char *dir;
        const char *selector;
        const char *tmpl;
        const char *reqid;
    } expected[] = {
        {"out", "src 10.1.0.0/24 dst 10.2.0.0/16", "tmpl src 198.51.100.2 dst 203.0.113.9", "reqid 3 mode tunnel"},
        {"in", "src 10.2.0.0/16 dst 10.1.0.0/24", "tmpl src 203.0.113.9 dst 198.51.100.2", "reqid 4 mode tunnel"},
        /* setkey's own: level require and request id 0. */
        {"fwd", "src 10.2.0.0/16 dst 10.1.0.0/24", "tmpl src 203.0.113.9 dst 198.51.100.2", "reqid 0 mode tunnel"},
    };
    for (const auto &e : expected) {
        std::string shown = ipOutput(std::string("xfrm policy list dir ") + e.dir);
        SCOPED_TRACE(std::string("dir ") + e.dir + ":\n" + shown);
        EXPECT_NE(std::string::npos, shown.find(e.selector));
        EXPECT_NE(std::string::npos, shown.find(e.tmpl));
        EXPECT_NE(std::string::npos, shown.find("proto esp " + std::string(e.reqid)));
        EXPECT_NE(std::string::npos, shown.find("dir " + std::string(e.dir) + " priority 2147483648 "));
    }

    r = runSetkey({"-f", inputFile("spddelete 10.1.0.0/24 10.2.0.0/16 any -P out;\n"
                                   "spddelete 10.2.0.0/16 10.1.0.0/24 any -P in;\n")});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", ipOutput("xfrm policy"));
}

/* As setkey: a statement the kernel refuses is reported, the rest apply,
 * and the run still succeeds (only a statement it cannot parse fails it). */
TEST_F(SetkeyKernel, StatementsTheKernelRefusesAreReportedAndTheRestApplied) {
    std::string path = inputFile(std::string(POLICIES) + "spdadd 10.1.0.0/24 10.2.0.0/16 any -P out ipsec "
                                                         "esp/tunnel/198.51.100.2-203.0.113.9/unique:3;\n"
                                                         "spddelete 10.9.0.0/16 10.1.0.0/24 any -P in;\n"
                                                         "spdadd 10.1.0.0/24 192.0.2.77/32 any -P out ipsec "
                                                         "esp/tunnel/198.51.100.2-192.0.2.50/unique:5;\n");
    test_cmd::Run r = runSetkey({"-f", path});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("RTNETLINK answers: File exists\nsetkey: " + path +
                  ":4: spdadd 10.1.0.0/24 10.2.0.0/16 any -P out: ip xfrm policy add failed\n"
                  "RTNETLINK answers: No such file or directory\nsetkey: " +
                  path + ":5: spddelete 10.9.0.0/16 10.1.0.0/24 any -P in: ip xfrm policy delete failed\n",
              r.err);
    EXPECT_NE(std::string::npos, ipOutput("xfrm policy list dir out").find("dst 192.0.2.77/32"));
    EXPECT_NE(std::string::npos, ipOutput("xfrm policy list dir fwd").find("src 10.2.0.0/16 dst 10.1.0.0/24"));
    EXPECT_EQ("", runSetkey({"-DPF"}).err);
    EXPECT_EQ("", ipOutput("xfrm policy"));
}

/* The request id the kernel makes up for a policy is one no policy holds. */
TEST_F(SetkeyKernel, MadeUpRequestIdsAreOnesNoPolicyHolds) {
    const std::string pol = "spdadd 10.1.0.0/24 10.2.0.0/16 any -P out ipsec esp/tunnel/198.51.100.2-203.0.113.9/";
    ASSERT_EQ(0, runSetkey({"-f", inputFile(pol + "unique:16384;\n")}).status);
    ASSERT_EQ(0, runSetkey({"-f", inputFile("spdadd 10.1.0.0/24 10.3.0.0/16 any -P out ipsec "
                                            "esp/tunnel/198.51.100.2-203.0.113.9/unique:16385;\n")})
                     .status);
    EXPECT_NE(std::string::npos, ipOutput("xfrm policy list dir out").find("proto esp reqid 16384 mode tunnel"));
    test_cmd::Run r = runSetkey({"-f", inputFile("spdadd 10.1.0.0/24 10.4.0.0/16 any -P in ipsec "
                                                 "esp/tunnel/203.0.113.9-198.51.100.2/unique;\n")});
    EXPECT_EQ(0, r.status) << r.err;
    std::string in = ipOutput("xfrm policy list dir in");
    EXPECT_NE(std::string::npos, in.find("proto esp reqid 16386 mode tunnel")) << in;
}

TEST_F(SetkeyKernel, ManualSAsAreAppliedWhereTheKernelHasEsp) {
    std::string probe = ipOutput("xfrm state add src 192.0.2.1 dst 192.0.2.2 proto esp spi 0x1 enc 'cbc(aes)' 0x" +
                                 std::string(32, '0') + " mode tunnel");
    if (!probe.empty())
        GTEST_SKIP() << "this kernel has no ESP: " << probe;
    ipOutput("xfrm state flush");
    test_cmd::Run r = runSetkey({"-f", golden("full_rewrite.conf")});
    EXPECT_EQ(0, r.status) << r.err;
    std::string states = ipOutput("xfrm state");
    for (const char *s :
         {"spi 0x00001000 reqid 3 mode tunnel", "spi 0x00001001 reqid 4 mode tunnel", "cbc(aes)", "hmac(sha1)"})
        EXPECT_NE(std::string::npos, states.find(s)) << s << " in\n" << states;
    EXPECT_EQ(0, runSetkey({"-DF"}).status);
    EXPECT_EQ("", ipOutput("xfrm state"));
}

} // namespace
