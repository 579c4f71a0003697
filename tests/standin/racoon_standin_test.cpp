/* The racoon stand-in's check of key daemon configurations, as the system
 * tests rely on it: what the writer produces passes, broken files are refused
 * with their line, and the process logs its start, reloads and failures. */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "command_output.h"
#include "test_files.h"

namespace {

std::string scratch(const std::string &name) {
    return test_cmd::scratchDir() + "/racoon-standin-test." + name;
}

/* Runs the stand-in with `args`, its log in `log`, holding no port. */
test_cmd::Run runRacoon(const std::vector<std::string> &args, const std::string &log) {
    return test_cmd::spawn(std::string(IPSEC_BIN_DIR) + "/racoon", args,
                           {"IPSEC_TOOL_LOG=" + log, "RACOON_STANDIN_PORT=0"});
}

std::string writePsk(const std::string &text, mode_t mode) {
    std::string path = scratch("psk.txt");
    unlink(path.c_str());
    test_files::write(path, text);
    chmod(path.c_str(), mode);
    return path;
}

/* Checks `conf` with -C: "" when it passes (what it loaded, logged after
 * "ok", in `loaded`), else the reason logged. */
std::string verdict(const std::string &conf, std::string *loaded = nullptr) {
    std::string confPath = scratch("racoon.conf"), log = scratch("log");
    test_files::write(confPath, conf);
    unlink(log.c_str());
    test_cmd::Run r = runRacoon({"-C", "-f", confPath}, log);
    std::string line = test_files::read(log);
    std::string head = "racoon check pid=";
    size_t conf_at = line.find(" conf=" + confPath + " ");
    if (line.compare(0, head.size(), head) != 0 || conf_at == std::string::npos)
        return "no verdict logged: " + line;
    std::string said = line.substr(conf_at + 7 + confPath.size());
    if (!said.empty() && said.back() == '\n')
        said.pop_back();
    const bool ok = said.compare(0, 3, "ok ") == 0;
    if ((r.status == 0) != ok)
        return "exit status " + std::to_string(r.status) + " disagrees with " + said;
    if (ok && loaded)
        *loaded = said.substr(3);
    return ok ? "" : said;
}

/* The smallest remote block the key daemon takes: one proposal. */
const char *const REMOTE = "remote 192.0.2.1 {\nexchange_mode main;\nproposal {\nencryption_algorithm aes;\n"
                           "hash_algorithm sha1;\nauthentication_method pre_shared_key;\ndh_group modp1024;\n}\n}\n";

std::string withPsk(const std::string &pskPath, const std::string &body) {
    return "path pre_shared_key \"" + pskPath + "\";\n" + body;
}

TEST(RacoonStandinCheck, EveryConfigurationOfTheWriterPasses) {
    const struct {
        const char *name;
        const char *loaded; /* what the log says it loaded */
    } cases[] = {
        {"worked_example", "remote=1 sainfo=1 keys=1"},
        {"two_tunnels_one_gateway", "remote=1 sainfo=2 keys=2"},
        {"three_enabled_one_manual", "remote=2 sainfo=2 keys=2"},
        {"fqdn_identifiers", "remote=2 sainfo=2 keys=2"},
        {"no_pfs_no_dpd_single_addresses", "remote=1 sainfo=1 keys=1"},
        {"disabled_and_manual_only", "remote=0 sainfo=0 keys=0"},
        {"no_tunnels", "remote=0 sainfo=0 keys=0"},
        {"many_tunnels_shared_gateways", "remote=5 sainfo=13 keys=13"},
        {"hostile_tunnel_skipped", "remote=2 sainfo=2 keys=2"},
        {"auth_method_not_psk", "remote=0 sainfo=0 keys=0"},
        {"unset_texts_and_no_address", "remote=1 sainfo=1 keys=1"},
    };
    const std::string header = "path pre_shared_key \"/var/ipsec/psk.txt\";\n";
    for (const auto &c : cases) {
        const std::string name = c.name;
        SCOPED_TRACE(name);
        std::string conf = test_files::read(test_files::goldenPath(std::string("racoon/") + name + "/racoon.conf"));
        ASSERT_EQ(0u, conf.find(header));
        std::string psk =
            writePsk(test_files::read(test_files::goldenPath(std::string("racoon/") + name + "/psk.txt")), 0600);
        std::string loaded;
        EXPECT_EQ("", verdict(withPsk(psk, conf.substr(header.size())), &loaded));
        EXPECT_EQ(c.loaded, loaded);
    }
}

struct BrokenCase {
    const char *name;
    const char *conf;
    const char *error;
};

/* A proposal and a sainfo block with the algorithms given. */
std::string algorithms(const char *phase1, const char *phase2) {
    return std::string("remote 192.0.2.1 {\nproposal {\nencryption_algorithm ") + phase1 +
           ";\n}\n}\nsainfo anonymous {\nencryption_algorithm " + phase2 + ";\n}\n";
}

TEST(RacoonStandinCheck, BrokenConfigurationsAreRefusedWithTheirLine) {
    const std::string p1key = "error: line 3: \"encryption_algorithm\": ",
                      p2key = "error: line 7: \"encryption_algorithm\": ";
    const struct {
        const char *name;
        std::string conf;
        std::string error; /* "" where the key daemon takes it */
    } lengths[] = {
        /* Key lengths as the key daemon reads them: apart or run on. */
        {"aes 256 in both phases", algorithms("aes 256", "aes 256"), ""},
        {"aes128 run on", algorithms("aes128", "aes192, 3des"), ""},
        {"a length of 0 is none", algorithms("3des 0", "aes 0"), ""},
        {"blowfish at its longest", algorithms("blowfish448", "blowfish 448"), ""},
        {"aes of 100 bits", algorithms("aes 100", "aes"), p1key + "invalid key length"},
        {"aes of 160 bits", algorithms("aes", "aes 160"), p2key + "invalid key length"},
        {"3des takes no length", algorithms("3des 192", "aes"), p1key + "key length not allowed"},
        {"blowfish not in bytes", algorithms("blowfish 44", "aes"), p1key + "invalid key length"},
        /* The key daemon takes 40 bits of twofish, the kernel 128 or more. */
        {"twofish shorter than the kernel takes", algorithms("aes", "twofish 64"), p2key + "invalid key length"},
        {"two lengths", algorithms("aes 128 256", "aes"), p1key + "too many arguments (missing ';'?)"},
        {"a length not a number", algorithms("aes", "aes 12x"), p2key + "key length must be a number"},
        {"a length run on and apart", algorithms("aes", "aes128 128"), p2key + "too many arguments (missing ';'?)"},
        {"cipher in upper case", algorithms("AES", "aes"), p1key + "value not allowed"},
        {"phase 2 cipher in upper case", algorithms("aes", "AES"), p2key + "value not allowed"},
        {"phase 2 list ending in a comma", algorithms("aes", "aes 256,"), p2key + "list ends with a comma"},
        /* A hash or method takes a number and ignores it; an HMAC takes none. */
        {"hash with a number", "remote 192.0.2.1 {\nproposal {\nhash_algorithm sha1 160;\n}\n}\n", ""},
        {"hmac with a length", "sainfo anonymous {\nauthentication_algorithm hmac_sha1 160;\n}\n",
         "error: line 2: \"authentication_algorithm\": key length not allowed"},
        {"phase 2 hash name for an hmac", "sainfo anonymous {\nauthentication_algorithm sha1;\n}\n",
         "error: line 2: \"authentication_algorithm\": value not allowed"},
        {"exchange mode foo", "remote 192.0.2.1 {\nexchange_mode foo;\n}\n",
         "error: line 2: \"exchange_mode\": value not allowed"},
    };
    for (const auto &c : lengths)
        EXPECT_EQ(c.error, verdict(c.conf)) << c.name;

    const BrokenCase cases[] = {
        {"block not closed", "remote 192.0.2.1 {\nexchange_mode main;\n",
         "error: line 1: block not closed before the end of the file"},
        {"closing brace too many", "sainfo anonymous {\npfs_group 2;\n}\n}\n",
         "error: line 4: '}' without a block to close"},
        {"statement without ';'", "remote 192.0.2.1 {\nexchange_mode main\nlifetime time 28800 sec;\n}\n",
         "error: line 2: \"exchange_mode\": too many arguments (missing ';'?)"},
        {"last statement without ';'", "sainfo anonymous {\npfs_group 2;\n}\nlog debug",
         "error: line 4: \"log\" not terminated by ';'"},
        {"identifier not quoted", "remote 192.0.2.1 {\nmy_identifier fqdn router.example;\n}\n",
         "error: line 2: \"my_identifier\": identifier must be a quoted string"},
        {"quote not closed", "remote 192.0.2.1 {\npeers_identifier fqdn \"peer.example;\n}\n",
         "error: line 2: quoted string not closed on its line"},
        {"statement in the wrong block", "remote 192.0.2.1 {\ndh_group modp1024;\n}\n",
         "error: line 2: \"dh_group\": unknown statement here"},
        {"unknown block", "listen {\nisakmp 192.0.2.1;\n}\n", "error: line 1: \"listen\": unknown block here"},
        {"sainfo without its selectors", "sainfo address 10.0.0.0/8 any {\nlifetime time 1 sec;\n}\n",
         "error: line 1: \"sainfo\": expected \"address A/P PROTO address B/P PROTO\" or anonymous"},
        {"lifetime in weeks", "remote 192.0.2.1 {\nlifetime time 2 weeks;\n}\n",
         "error: line 2: \"lifetime\": expected \"time N sec|min|hour\""},
        {"algorithm list without ';'",
         "sainfo anonymous {\nencryption_algorithm aes, 3des\nauthentication_algorithm hmac_sha1;\n}\n",
         "error: line 2: \"encryption_algorithm\": too many arguments (missing ';'?)"},
        {"unknown exchange mode", "remote 192.0.2.1 {\nexchange_mode quick;\n}\n",
         "error: line 2: \"exchange_mode\": value not allowed"},
        {"dpd limit not a number", "remote 192.0.2.1 {\ndpd_maxfail many;\n}\n",
         "error: line 2: \"dpd_maxfail\": expected a number"},
        {"statement closed early by an injected ';'", "remote 192.0.2.1 {\nexchange_mode main; lifetime;\n}\n",
         "error: line 2: \"lifetime\": too few arguments"},
        {"brace where a statement belongs", "remote 192.0.2.1 {\n{\n}\n}\n",
         "error: line 2: expected a statement, found '{'"},
        /* Refused by the key daemon's own check (racoon -t) on the real kernel. */
        {"remote without a proposal", "remote 192.0.2.1 {\nexchange_mode main;\n}\n",
         "error: line 1: \"remote\": no proposal block"},
        {"empty identifier", "remote 192.0.2.1 {\nmy_identifier fqdn \"\";\n}\n",
         "error: line 2: \"my_identifier\": empty identifier"},
        {"address identifier by a name in /etc/hosts", "remote 192.0.2.1 {\nmy_identifier address \"localhost\";\n}\n",
         "error: line 1: \"remote\": no proposal block"},
        {"address identifier that does not resolve",
         "remote 192.0.2.1 {\nmy_identifier address \"no-such-host.invalid\";\n}\n",
         "error: line 2: \"my_identifier\": identifier address does not resolve"},
        {"unknown phase 1 cipher", "remote 192.0.2.1 {\nproposal {\nencryption_algorithm rot13;\n}\n}\n",
         "error: line 3: \"encryption_algorithm\": value not allowed"},
        {"unknown DH group", "remote 192.0.2.1 {\nproposal {\ndh_group modp9999;\n}\n}\n",
         "error: line 3: \"dh_group\": value not allowed"},
        {"unknown phase 2 hmac", "sainfo anonymous {\nauthentication_algorithm hmac_crc;\n}\n",
         "error: line 2: \"authentication_algorithm\": value not allowed"},
        {"unknown upper-layer protocol", "sainfo address 10.0.0.0/8 bogus address 10.1.0.0/16 any {\npfs_group 2;\n}\n",
         "error: line 1: \"sainfo\": expected \"address A/P PROTO address B/P PROTO\" or anonymous"},
    };
    for (const BrokenCase &c : cases)
        EXPECT_EQ(c.error, verdict(c.conf)) << c.name;
}

TEST(RacoonStandinCheck, KeyFileMustBePrivateAndIsReadAsTheKeyDaemonReadsIt) {
    const std::string body = REMOTE;
    /* A line longer than the key daemon's 1,023-byte reader: its tail is
     * read as a line of its own, here another gateway's key. */
    const std::string longLine = "192.0.2.1 " + std::string(1012, 'k') + " 198.51.100.3 evilkey\n";
    const struct {
        const char *name;
        std::string text;
        mode_t mode;
        const char *error;          /* after the file name, or null when it passes */
        int keys;                   /* the keys read, when it passes */
        const char *peer = nullptr; /* a peer whose key is looked up with -K, if any */
        const char *key = nullptr;  /* its key in hexadecimal, "" for none */
    } cases[] = {
        {"private and complete", "192.0.2.1 key\n# comment\n\n", 0600, nullptr, 1},
        {"readable by the group", "192.0.2.1 key\n", 0640, " is readable or writable by others than its owner", 0},
        {"readable by all", "192.0.2.1 key\n", 0644, " is readable or writable by others than its owner", 0},
        {"identifier without key, skipped", "192.0.2.1 key\n192.0.2.2\n", 0600, nullptr, 1, "192.0.2.2", ""},
        {"a line split by the reader", longLine, 0600, nullptr, 2, "198.51.100.3", "6576696c6b6579"},
        {"a wildcard identifier", "* key\n", 0600, nullptr, 1, "203.0.113.5", "6b6579"},
        {"a key in hexadecimal, blanks skipped", "192.0.2.1 0x0a0b\n192.0.2.2 0x0a 0b\n", 0600, nullptr, 2, "192.0.2.2",
         "0a0b"},
        {"a key of blanks and words", "192.0.2.1   two words  \n", 0600, nullptr, 1, "192.0.2.1",
         "74776f20776f7264732020"},
        /* Keys the key daemon finds but cannot read. */
        /* The first line for a peer is the one taken, with or without a key in it. */
        {"odd hexadecimal key", "192.0.2.1 0xabc\n192.0.2.1 key\n", 0600, nullptr, 1, "192.0.2.1", ""},
        {"hexadecimal key not hexadecimal", "192.0.2.1 0xzz\n", 0600, " holds no key for the 1 remote block", 0},
        {"empty hexadecimal key", "192.0.2.1 0x\n", 0600, " holds no key for the 1 remote block", 0},
        {"line starting with a blank", " 192.0.2.1 key\n", 0600, " holds no key for the 1 remote block", 0},
        /* Cut short by a full disk: every remote would go without its key. */
        {"empty", "", 0600, " holds no key for the 1 remote block", 0},
        {"comments only", "# 192.0.2.1 key\n\n", 0600, " holds no key for the 1 remote block", 0},
    };
    for (const auto &c : cases) {
        std::string psk = writePsk(c.text, c.mode);
        std::string expected = c.error ? "error: " + psk + c.error : "", loaded;
        EXPECT_EQ(expected, verdict(withPsk(psk, body), &loaded)) << c.name;
        if (!c.error) {
            EXPECT_EQ("remote=1 sainfo=0 keys=" + std::to_string(c.keys), loaded) << c.name;
        }
        if (c.peer) {
            test_cmd::Run r = runRacoon({"-K", c.peer, "-f", scratch("racoon.conf")}, scratch("log"));
            EXPECT_EQ(*c.key ? 0 : 1, r.status) << c.name;
            EXPECT_EQ(*c.key ? std::string(c.key) + "\n" : "", r.out) << c.name;
        }
    }
    std::string missing = scratch("no-such-psk.txt");
    EXPECT_EQ("error: cannot read the pre-shared key file " + missing, verdict(withPsk(missing, body)));
}

bool waitForLog(const std::string &log, const std::string &line) {
    const struct timespec step = {0, 10 * 1000 * 1000};
    for (int i = 0; i < 500; i++) {
        if (test_files::read(log).find(line + "\n") != std::string::npos)
            return true;
        nanosleep(&step, nullptr);
    }
    return false;
}

/* The pid of the last start logged in `log`, 0 when there is none. */
int lastStartPid(const std::string &log) {
    const std::string text = test_files::read(log);
    size_t at = text.rfind("racoon start pid=");
    int pid = 0;
    return at != std::string::npos && sscanf(text.c_str() + at, "racoon start pid=%d", &pid) == 1 ? pid : 0;
}

TEST(RacoonStandinLife, StartsInTheBackgroundAndKeepsRunningOnABrokenReload) {
    const std::string conf = scratch("life.conf"), log = scratch("life.log");
    unlink(log.c_str());
    std::string psk = writePsk("192.0.2.1 key\n", 0600);
    test_files::write(conf, withPsk(psk, REMOTE));
    test_cmd::Run r = runRacoon({"-f", conf}, log);
    ASSERT_EQ(0, r.status) << r.err;
    int pid = lastStartPid(log);
    ASSERT_NE(0, pid);
    const std::string tail = " pid=" + std::to_string(pid) + " conf=" + conf;
    EXPECT_EQ("racoon start" + tail + " ok remote=1 sainfo=0 keys=1\n", test_files::read(log));

    /* As the key daemon: a reload that fails is logged and it goes on
     * running, whether the key file was cut short or the configuration. */
    writePsk("", 0600);
    kill(pid, SIGHUP);
    EXPECT_TRUE(waitForLog(log, "racoon reload" + tail + " error: " + psk + " holds no key for the 1 remote block"));
    writePsk("192.0.2.1 key\n192.0.2.2 key\n", 0600);
    kill(pid, SIGHUP);
    EXPECT_TRUE(waitForLog(log, "racoon reload" + tail + " ok remote=1 sainfo=0 keys=2"));
    test_files::write(conf, withPsk(psk, "remote 192.0.2.1 {\nexchange_mode main;\n"));
    kill(pid, SIGHUP);
    EXPECT_TRUE(
        waitForLog(log, "racoon reload" + tail + " error: line 2: block not closed before the end of the file"));
    EXPECT_EQ(0, kill(pid, 0)) << "the stand-in ended on a broken reload";
    kill(pid, SIGTERM);
    EXPECT_TRUE(waitForLog(log, "racoon stop" + tail.substr(0, tail.find(" conf=")) + " signal=15"));
    /* As pid 1 of the sandbox this process reaps it. */
    int status = 0;
    EXPECT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    /* A start with a broken file: the key daemon goes to the background
     * before it reads it, so the start succeeds and the background process
     * ends with status 1; in the foreground (-F) the start fails. */
    r = runRacoon({"-f", conf}, log);
    EXPECT_EQ(0, r.status);
    pid = lastStartPid(log);
    ASSERT_NE(0, pid);
    EXPECT_NE(std::string::npos, test_files::read(log).find("racoon start pid=" + std::to_string(pid) +
                                                            " conf=" + conf + " error: line 2: block not closed"));
    EXPECT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    r = runRacoon({"-F", "-f", conf}, log);
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("line 2: block not closed"));
}

} // namespace
