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

TEST(RacoonStandinCheck, BrokenConfigurationsAreRefusedWithTheirLine) {
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

TEST(RacoonStandinCheck, KeyFileMustBePrivateAndWellFormed) {
    const std::string body = REMOTE;
    const struct {
        const char *name;
        const char *text;
        mode_t mode;
        const char *error; /* after the file name, or null when it passes */
    } cases[] = {
        {"private and complete", "192.0.2.1 key\n# comment\n\n", 0600, nullptr},
        {"readable by the group", "192.0.2.1 key\n", 0640, " is readable or writable by others than its owner"},
        {"readable by all", "192.0.2.1 key\n", 0644, " is readable or writable by others than its owner"},
        {"identifier without key", "192.0.2.1 key\n192.0.2.2\n", 0600, ":2: expected an identifier and a key"},
        /* Cut short by a full disk: every remote would go without its key. */
        {"empty", "", 0600, " holds no key for the 1 remote block"},
        {"comments only", "# 192.0.2.1 key\n\n", 0600, " holds no key for the 1 remote block"},
    };
    for (const auto &c : cases) {
        std::string psk = writePsk(c.text, c.mode);
        std::string expected = c.error ? "error: " + psk + c.error : "";
        EXPECT_EQ(expected, verdict(withPsk(psk, body))) << c.name;
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

TEST(RacoonStandinLife, StartsInTheBackgroundReloadsAndExitsOnABrokenReload) {
    if (!getenv("IPSEC_SANDBOX"))
        GTEST_SKIP() << "starts a background process: sandbox only";
    const std::string conf = scratch("life.conf"), log = scratch("life.log");
    unlink(log.c_str());
    std::string psk = writePsk("192.0.2.1 key\n", 0600);
    test_files::write(conf, withPsk(psk, REMOTE));
    test_cmd::Run r = runRacoon({"-f", conf}, log);
    ASSERT_EQ(0, r.status) << r.err;
    int pid = 0;
    ASSERT_EQ(1, sscanf(test_files::read(log).c_str(), "racoon start pid=%d", &pid));
    const std::string tail = " pid=" + std::to_string(pid) + " conf=" + conf;
    EXPECT_EQ("racoon start" + tail + " ok remote=1 sainfo=0 keys=1\n", test_files::read(log));

    /* A reload that finds the key file cut short ends it, as a broken configuration does. */
    writePsk("", 0600);
    kill(pid, SIGHUP);
    EXPECT_TRUE(waitForLog(log, "racoon reload" + tail + " error: " + psk + " holds no key for the 1 remote block"));
    EXPECT_EQ(pid, waitpid(pid, nullptr, 0));
    writePsk("192.0.2.1 key\n192.0.2.2 key\n", 0600);
    r = runRacoon({"-f", conf}, log);
    ASSERT_EQ(0, r.status) << r.err;
    ASSERT_EQ(1, sscanf(test_files::read(log).substr(test_files::read(log).rfind("racoon start")).c_str(),
                        "racoon start pid=%d", &pid));
    const std::string tail2 = " pid=" + std::to_string(pid) + " conf=" + conf;
    kill(pid, SIGHUP);
    EXPECT_TRUE(waitForLog(log, "racoon reload" + tail2 + " ok remote=1 sainfo=0 keys=2"));
    test_files::write(conf, withPsk(psk, "remote 192.0.2.1 {\nexchange_mode main;\n"));
    kill(pid, SIGHUP);
    EXPECT_TRUE(
        waitForLog(log, "racoon reload" + tail2 + " error: line 2: block not closed before the end of the file"));
    /* It ends on its own; as pid 1 of the sandbox this process reaps it. */
    int status = 0;
    EXPECT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);

    r = runRacoon({"-f", conf}, log);
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("line 2: block not closed"));
    EXPECT_NE(std::string::npos, test_files::read(log).find(" error: line 2: block not closed"));
}

} // namespace
