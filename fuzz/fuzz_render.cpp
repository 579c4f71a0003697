/*
 * Fuzzer for the renderers: arbitrary data-model texts in every tunnel field
 * that reaches setkey.conf, racoon.conf, psk.txt or a command, rendered by a
 * full rewrite (ipsec_writeAllSetkey, ipsec_writeRacoon) against the stand-in
 * data model with the shell recorder. Writes /var/ipsec: run it inside
 * scripts/sandbox.sh.
 *
 * Input: texts separated by NUL bytes, given in turn to the fields below, in
 * both a manually keyed tunnel and an IKE tunnel; a third tunnel is a
 * bystander. Checked besides the sanitizers: setkey.conf is one whole
 * statement per line, each ended by its only ';' and without a '#' that
 * would hide the rest of it; every tunnel that was not skipped (with a
 * logged line naming it) is in setkey.conf; racoon.conf's braces balance and
 * no two sainfo blocks share a subnet pair; each psk.txt line fits racoon's
 * 1,023-byte reader, has an identifier that is no pattern and a key racoon
 * reads as written;
 * its quotes pair up on each line; no file holds a control character other
 * than the line ends; the bystander is fully written; every command is plain
 * words.
 */
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/ipsec_state.h"
#include "mdm_fixture.h"
#include "render/ipsec_paths.h"
#include "render/ipsec_racoon.h"
#include "render/ipsec_setkey.h"
#include "shell_recorder.h"
#include "test_files.h"
#include "tunnel_fixture.h"
#include "wan_state.h"

using nlohmann::json;

namespace {

const char *const kFields[] = {"realRemoteIP",
                               "localIPAddress",
                               "localMask",
                               "remoteIPAddress",
                               "remoteMask",
                               "SPI",
                               "secondSPI",
                               "manualEncryptionAlgo",
                               "manualEncryptionKey",
                               "manualAuthAlgo",
                               "manualAthKey",
                               "PSK",
                               "ph1Mode",
                               "ph1MyIdType",
                               "ph1MyId",
                               "ph1PeerIdType",
                               "ph1PeerId",
                               "ph1EncryptionAlo",
                               "ph1IntegrityAlgo",
                               "ph1DHGroup",
                               "ph2EncryptionAlo",
                               "ph2IntegrityAlgo",
                               "ph2DHGroup",
                               "connName"};

/* A tunnel with the fields of both keying methods, so that each input text
 * reaches both renderers; `keyEx` picks the one it is rendered by. */
json tunnel(UINT32 id, int keyEx, const char *gw, const char *local, const char *remote) {
    json t = tunnel_fixture::ike(tunnel_fixture::manual({{"entryID", id},
                                                         {"connName", "t" + std::to_string(id)},
                                                         {"realRemoteIP", gw},
                                                         {"remoteGWAddress", gw},
                                                         {"localIPAddress", local},
                                                         {"remoteIPAddress", remote},
                                                         {"PSK", "secret"}}));
    t["keyExMethod"] = keyEx;
    return t;
}

[[noreturn]] void fail(const char *what, const std::string &detail) {
    fprintf(stderr, "%s: %s\n", what, detail.c_str());
    abort();
}

bool hasControl(const std::string &s) {
    for (unsigned char c : s)
        if ((c < 0x20 && c != '\n') || c == 0x7f)
            return true;
    return false;
}

void checkSetkey(const std::string &conf) {
    static const char *const kStatements[] = {"flush;", "spdflush;", "add ", "spdadd ", "delete ", "spddelete "};
    size_t start = 0;
    while (start < conf.size()) {
        size_t end = conf.find('\n', start);
        if (end == std::string::npos)
            fail("setkey.conf ends without a newline", conf.substr(start));
        const std::string line = conf.substr(start, end - start);
        bool known = false;
        for (const char *s : kStatements)
            known = known || line.compare(0, strlen(s), s) == 0;
        if (!known || line.find(';') != line.size() - 1 || line.find('#') != std::string::npos)
            fail("setkey.conf line is not one whole statement", line);
        start = end + 1;
    }
}

void checkRacoon(const std::string &conf) {
    int depth = 0;
    size_t start = 0;
    while (start < conf.size()) {
        size_t end = conf.find('\n', start);
        if (end == std::string::npos)
            end = conf.size();
        const std::string line = conf.substr(start, end - start);
        int quotes = 0;
        for (char c : line) {
            depth += (c == '{') - (c == '}');
            quotes += (c == '"');
            if (depth < 0)
                fail("racoon.conf closes a block it never opened", line);
        }
        if (quotes % 2)
            fail("racoon.conf line with an odd number of quotes", line);
        start = end + 1;
    }
    if (depth != 0)
        fail("racoon.conf braces do not balance", conf);
}

/* Standard error (the daemon's log) of `step`, through a file. libFuzzer may
 * have closed descriptor 2 (-close_fd_mask): it is left closed again. */
template <typename F> std::string logOf(F step) {
    static const char *const kLog = "/var/run/fuzz_render.log";
    fflush(stderr);
    const int saved = dup(2);
    const int fd = open(kLog, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        abort();
    if (fd != 2) {
        dup2(fd, 2);
        close(fd);
    }
    step();
    fflush(stderr);
    if (saved >= 0) {
        dup2(saved, 2);
        close(saved);
    } else {
        close(2);
    }
    return test_files::read(kLog);
}

/* A tunnel the full rewrite installs is in setkey.conf, unless a line said it
 * was skipped: one tunnel's texts never cost it silently. */
void checkTunnelWritten(const json &t, const std::string &setkey, const std::string &log) {
    const std::string gw = t["realRemoteIP"].get<std::string>();
    if (gw.empty() || gw == "0.0.0.0")
        return; /* no remote end: not installed, nothing to say */
    const unsigned id = t["entryID"].get<unsigned>();
    const std::string policy = "/unique:" + std::to_string(2 * id + 1) + ";\n";
    const std::string skipped = "tunnel " + std::to_string(id) + " (";
    for (size_t at = log.find(skipped); at != std::string::npos; at = log.find(skipped, at + 1)) {
        const size_t end = log.find('\n', at);
        if (log.substr(at, end - at).find(") skipped: ") != std::string::npos)
            return;
    }
    if (setkey.find(policy) == std::string::npos)
        fail("a tunnel is missing from setkey.conf without a line", skipped + "\n" + setkey);
}

/* psk.txt as racoon's reader sees it: each line read whole, its identifier
 * no "*", its key neither empty nor beginning with a blank or "0x". */
void checkPsk(const std::string &psk) {
    size_t start = 0;
    while (start < psk.size()) {
        const size_t end = psk.find('\n', start);
        if (end == std::string::npos)
            fail("psk.txt ends without a newline", psk.substr(start));
        const std::string line = psk.substr(start, end - start);
        const size_t blank = line.find(' ');
        if (end - start + 1 > 1023 || blank == std::string::npos || line.substr(0, blank) == "*" ||
            line.compare(blank + 1, 2, "0x") == 0 || blank + 1 == line.size() || line[blank + 1] == ' ')
            fail("psk.txt line racoon would read otherwise", line.substr(0, 80));
        start = end + 1;
    }
}

/* racoon refuses a whole file with two sainfo blocks for one pair. */
void checkSainfos(const std::string &conf) {
    std::vector<std::string> seen;
    for (size_t at = conf.find("\nsainfo "); at != std::string::npos; at = conf.find("\nsainfo ", at + 1)) {
        const std::string line = conf.substr(at + 1, conf.find('\n', at + 1) - at - 1);
        for (const std::string &s : seen)
            if (s == line)
                fail("two sainfo blocks for one pair", line);
        seen.push_back(line);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (!getenv("IPSEC_SANDBOX")) {
        fprintf(stderr, "fuzz_render writes /var/ipsec: run it inside scripts/sandbox.sh\n");
        exit(2);
    }
    mkdir("/var/ipsec", 0700);
    wan_state::up();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    json manual = tunnel(1, 1, "203.0.113.9", "192.168.1.0", "10.2.0.0");
    json ike = tunnel(2, 0, "192.0.2.50", "192.168.2.0", "10.5.0.0");
    size_t field = 0;
    for (size_t off = 0; off <= size && field < sizeof(kFields) / sizeof(kFields[0]); field++) {
        const void *nul = memchr(data + off, '\0', size - off);
        const size_t end = nul ? static_cast<size_t>(static_cast<const uint8_t *>(nul) - data) : size;
        const std::string text(reinterpret_cast<const char *>(data) + off, end - off);
        manual[kFields[field]] = text;
        ike[kFields[field]] = text;
        off = end + 1;
    }
    const json model = {
        {"IPSecCfgObject", json::array({manual, ike, tunnel(3, 0, "192.0.2.60", "192.168.3.0", "10.3.0.0")})}};
    /* The data model holds UTF-8 only; other bytes become U+FFFD. */
    const std::string text = model.dump(-1, ' ', false, json::error_handler_t::replace);
    mdm_fixture::writeJson(text);

    shell_recorder::clear();
    int setkeyCount = 0, racoonCount = 0;
    const std::string log = logOf([&] {
        setkeyCount = ipsec_writeAllSetkey();
        racoonCount = ipsec_writeRacoon();
    });
    if (setkeyCount < 1 || racoonCount < 1)
        fail("the bystander was not written", log);
    const std::string setkey = test_files::read(IPSEC_SETKEY_CONF);
    const std::string racoon = test_files::read(IPSEC_RACOON_CONF);
    const std::string psk = test_files::read(IPSEC_PSK_TXT);
    if (hasControl(setkey) || hasControl(racoon) || hasControl(psk))
        fail("a control character reached a file", "");
    checkSetkey(setkey);
    checkRacoon(racoon);
    checkPsk(psk);
    checkSainfos(racoon);
    /* The texts as the data model holds them (UTF-8 only). */
    const json stored = json::parse(text);
    for (const json &t : stored["IPSecCfgObject"])
        checkTunnelWritten(t, setkey, log);
    if (setkey.find("esp/tunnel/198.51.100.2-192.0.2.60/unique:7;") == std::string::npos ||
        racoon.find("remote 192.0.2.60 {") == std::string::npos || psk.find("192.0.2.60 secret\n") == std::string::npos)
        fail("the bystander tunnel is missing", setkey + racoon);
    static const char *const kPlain = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789./_:- ";
    for (const std::string &cmd : shell_recorder::commands())
        if (strspn(cmd.c_str(), kPlain) != cmd.size())
            fail("command with unexpected characters", cmd);
    return 0;
}
