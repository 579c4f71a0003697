/* The key daemon's racoon.conf and psk.txt as written from the data model:
 * golden files byte for byte, skipped hostile tunnels, lock failures, file modes. */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/ipsec_state.h"
#include "mdm_fixture.h"
#include "render/ipsec_file.h"
#include "render/ipsec_paths.h"
#include "render/ipsec_racoon.h"
#include "shell_recorder.h"
#include "test_files.h"
#include "tunnel_fixture.h"

using nlohmann::json;

namespace {

const char *const CHMOD = "chmod 600 /var/ipsec/psk.txt";

/* An IKE tunnel with the settings of the documented single-tunnel example. */
json ikeTunnel(UINT32 id, const char *gw) {
    return tunnel_fixture::ike({{"entryID", id},
                                {"connName", "tunnel" + std::to_string(id)},
                                {"realRemoteIP", gw},
                                {"remoteGWAddress", gw},
                                {"ph1MyId", ""},
                                {"ph1PeerId", ""},
                                {"ph1EncryptionAlo", "3des"},
                                {"remoteIPMode", 0},
                                {"remoteIPAddress", "10.20.0.0"},
                                {"remoteMask", "255.255.0.0"},
                                {"PSK", id == 1 ? std::string("s3cret-key") : "key-" + std::to_string(id)},
                                {"SPI", nullptr},
                                {"secondSPI", nullptr},
                                {"status", nullptr}});
}

json manualTunnel(UINT32 id, const char *gw) {
    json t = ikeTunnel(id, gw);
    t["keyExMethod"] = 1;
    t["SPI"] = "1000";
    t["secondSPI"] = "1001";
    t["manualEncryptionAlgo"] = "aes-cbc";
    t["manualEncryptionKey"] = "00112233445566778899aabbccddeeff";
    t["manualAuthAlgo"] = "hmac-sha1";
    t["manualAthKey"] = "00112233445566778899aabbccddeeff00112233";
    return t;
}

json remoteNet(json t, const char *addr, const char *mask) {
    t["remoteIPAddress"] = addr;
    t["remoteMask"] = mask;
    return t;
}

void writeModel(const std::vector<json> &tunnels) {
    mdm_fixture::writeJson(json{{"IPSecCfgObject", tunnels}});
}

/* Standard error (where the framework logs) captured into a file. */
class StderrCapture {
  public:
    StderrCapture() : path_(mdm_fixture::home() + "/stderr") {
        fflush(stderr);
        saved_ = dup(2);
        int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        close(fd);
    }
    ~StderrCapture() { restore(); }
    std::string text() {
        restore();
        return test_files::read(path_);
    }

  private:
    void restore() {
        if (saved_ < 0)
            return;
        fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
    }
    std::string path_;
    int saved_ = -1;
};

/* Nothing holds the global lock: another client gets it at once. */
void expectLockFree() {
    unsetenv("ZOR_FAIL_LOCK");
    EXPECT_EQ(ZORRET_SUCCESS, zorLck_acquireLockWithTimeoutTraced("test", 0));
    zorLck_releaseLockTraced("test");
}

class RacoonWriter : public ::testing::Test {
  protected:
    void SetUp() override {
        mdm_fixture::reset();
        mkdir("/var/ipsec", 0755);
        unlink(IPSEC_RACOON_CONF);
        unlink(IPSEC_PSK_TXT);
        shell_recorder::clear();
        shell_recorder::setObserver(nullptr);
        /* The WAN address the SA/SP file's tunnels start from. */
        snprintf(l_wan_ip, sizeof(l_wan_ip), "198.51.100.2");
    }
    static std::string conf() { return test_files::read(IPSEC_RACOON_CONF); }
    static std::string psk() { return test_files::read(IPSEC_PSK_TXT); }
    static void expectGoldenFiles(const std::string &name) {
        EXPECT_GOLDEN("racoon/" + name + "/racoon.conf", conf());
        EXPECT_GOLDEN("racoon/" + name + "/psk.txt", psk());
    }
};

struct GoldenCase {
    const char *name;
    std::vector<json> tunnels;
    int written;
    /* Lines the pass logs; one beginning with '!' must not be logged. */
    std::vector<std::string> logged = {};
};

std::vector<GoldenCase> goldenCases() {
    json fqdnBoth = ikeTunnel(1, "203.0.113.7");
    fqdnBoth["ph1MyIdType"] = "fqdn";
    fqdnBoth["ph1MyId"] = "router.example.net";
    fqdnBoth["ph1PeerIdType"] = "fqdn";
    fqdnBoth["ph1PeerId"] = "peer.example.org";
    json fqdnPeerOnly = remoteNet(ikeTunnel(2, "198.51.100.77"), "10.30.0.0", "255.255.0.0");
    fqdnPeerOnly["ph1PeerIdType"] = "fqdn";
    fqdnPeerOnly["ph1PeerId"] = "branch.example.org";
    fqdnPeerOnly["ph1MyIdType"] = "user_fqdn";
    fqdnPeerOnly["ph1MyId"] = "ignored@example.net";

    json notPsk = ikeTunnel(1, "203.0.113.7");
    notPsk["authMethod"] = 1;

    json noPfs = ikeTunnel(1, "203.0.113.7");
    noPfs["perfectFSEn"] = 0;
    noPfs["DPD"] = 0;
    noPfs["localIPMode"] = 1;
    noPfs["localIPAddress"] = "192.168.1.10";
    noPfs["localMask"] = "255.255.255.0";
    noPfs["remoteIPMode"] = 1;
    noPfs["remoteIPAddress"] = "10.20.0.5";
    noPfs["remoteMask"] = "not a mask";

    json disabled = ikeTunnel(1, "203.0.113.7");
    disabled["enable"] = 0;

    json unset = {{"entryID", 1}, {"enable", 1}, {"keyExMethod", 0}};
    json noAddress = ikeTunnel(2, "0.0.0.0");

    /* 13 IKE tunnels over 5 gateways, one of them first seen at the 12th. */
    std::vector<json> many;
    const char *gws[] = {"192.0.2.1", "192.0.2.2", "192.0.2.3", "192.0.2.4"};
    for (UINT32 id = 1; id <= 13; id++) {
        const char *gw = (id == 12) ? "192.0.2.5" : gws[(id - 1) % 4];
        std::string net = "10." + std::to_string(id) + ".0.0";
        many.push_back(remoteNet(ikeTunnel(id, gw), net.c_str(), "255.255.0.0"));
    }

    /* What the kernel would refuse: a subnet pair taken, request ids above
     * its 16383. A tunnel without policies (no address) yields a pair to
     * one with them, and has one sainfo block per pair. */
    std::vector<json> refused = {
        ikeTunnel(1, "203.0.113.7"),
        ikeTunnel(2, "198.51.100.20"),
        remoteNet(ikeTunnel(9000, "192.0.2.9"), "10.90.0.0", "255.255.0.0"),
        remoteNet(manualTunnel(3, "198.51.100.9"), "10.30.0.0", "255.255.0.0"),
        remoteNet(ikeTunnel(4, "192.0.2.4"), "10.30.0.0", "255.255.0.0"),
        remoteNet(ikeTunnel(5, "0.0.0.0"), "10.40.0.0", "255.255.0.0"),
        remoteNet(ikeTunnel(6, "192.0.2.6"), "10.40.0.0", "255.255.0.0"),
        remoteNet(ikeTunnel(7, "0.0.0.0"), "10.50.0.0", "255.255.0.0"),
        remoteNet(ikeTunnel(8, "0.0.0.0"), "10.50.0.0", "255.255.0.0"),
    };
    const std::string pairTaken = " skipped: localIPAddress and remoteIPAddress are those of tunnel ";

    /* Words racoon takes beyond the defaults, and aggressive mode with FQDN
     * identifiers, which negotiates. */
    json words = ikeTunnel(1, "203.0.113.7");
    words["ph1Mode"] = "aggressive, main";
    words["ph1PeerIdType"] = "fqdn";
    words["ph1PeerId"] = "peer-1.example.org";
    words["ph1EncryptionAlo"] = "aes 256";
    words["ph1IntegrityAlgo"] = "sha256";
    words["ph1DHGroup"] = "14";
    words["ph2DHGroup"] = "modp2048";
    words["ph2EncryptionAlo"] = "aes128, 3des";
    words["ph2IntegrityAlgo"] = "hmac_sha256,hmac_sha1";
    json words2 = remoteNet(ikeTunnel(2, "198.51.100.77"), "10.30.0.0", "255.255.0.0");
    words2["ph1Mode"] = "base";
    words2["ph1EncryptionAlo"] = "blowfish448";
    words2["ph1IntegrityAlgo"] = "md5";
    words2["ph1DHGroup"] = "modp8192";
    words2["perfectFSEn"] = 1;
    words2["ph2DHGroup"] = "2";
    words2["ph2EncryptionAlo"] = "aes 192";
    words2["ph2IntegrityAlgo"] = "hmac_sha1";

    return {
        {"worked_example", {ikeTunnel(1, "203.0.113.7")}, 1},
        {"kernel_refusals_skipped",
         refused,
         3,
         {"tunnel 2 (tunnel2)" + pairTaken + "1\n",
          "tunnel 9000 (tunnel9000) skipped: entryID is above 8190: its request ids would pass the kernel's 16383\n",
          "tunnel 4 (tunnel4)" + pairTaken + "3\n", "tunnel 5 (tunnel5)" + pairTaken + "6\n",
          "tunnel 8 (tunnel8)" + pairTaken + "7\n"}},
        {"words_the_key_daemon_takes", {words, words2}, 2, {"!cannot negotiate", "!skipped"}},
        {"two_tunnels_one_gateway",
         {ikeTunnel(1, "203.0.113.7"), remoteNet(ikeTunnel(2, "203.0.113.7"), "10.21.0.0", "255.255.255.0")},
         2},
        {"three_enabled_one_manual",
         {ikeTunnel(1, "203.0.113.7"), manualTunnel(2, "198.51.100.9"),
          remoteNet(ikeTunnel(3, "192.0.2.50"), "10.22.0.0", "255.255.0.0")},
         2},
        {"fqdn_identifiers",
         {fqdnBoth, fqdnPeerOnly},
         2,
         {"ERROR ipsec_writeRacoon",
          "tunnel 1 (tunnel1) cannot negotiate: main mode with an fqdn ph1PeerId, the key "
          "daemon takes it in aggressive mode only\n",
          "tunnel 2 (tunnel2) cannot negotiate: main mode with an fqdn ph1PeerId"}},
        {"auth_method_not_psk", {notPsk}, 0},
        {"no_pfs_no_dpd_single_addresses", {noPfs}, 1},
        {"disabled_and_manual_only", {disabled, manualTunnel(2, "198.51.100.9")}, 0},
        {"no_tunnels", {}, 0},
        {"unset_texts_and_no_address", {unset, noAddress}, 1},
        {"many_tunnels_shared_gateways", many, 13},
    };
}

TEST_F(RacoonWriter, FilesMatchGoldenForEachConfiguration) {
    for (const GoldenCase &c : goldenCases()) {
        SCOPED_TRACE(c.name);
        mdm_fixture::reset();
        shell_recorder::clear();
        writeModel(c.tunnels);
        StderrCapture log;
        EXPECT_EQ(c.written, ipsec_writeRacoon());
        const std::string logged = log.text();
        for (const std::string &line : c.logged) {
            if (line[0] == '!')
                EXPECT_EQ(std::string::npos, logged.find(line.substr(1))) << logged;
            else
                EXPECT_NE(std::string::npos, logged.find(line)) << logged;
        }
        expectGoldenFiles(c.name);
        EXPECT_EQ(0600, test_files::mode(IPSEC_PSK_TXT));
        EXPECT_EQ(std::vector<std::string>{CHMOD}, shell_recorder::commands());
        /* Every lock taken was given back. */
        EXPECT_EQ(mdm_fixture::traceCount("lock ipsec_writeRacoon"),
                  mdm_fixture::traceCount("unlock ipsec_writeRacoon"));
    }
}

TEST_F(RacoonWriter, LockIsReleasedWhileEachEnabledTunnelIsWritten) {
    json disabled = ikeTunnel(3, "192.0.2.3");
    disabled["enable"] = 0;
    writeModel({ikeTunnel(1, "192.0.2.1"), manualTunnel(2, "192.0.2.2"), disabled});
    EXPECT_EQ(1, ipsec_writeRacoon());
    /* Taken once for the walks, then again after each of the two enabled tunnels. */
    EXPECT_EQ(3u, mdm_fixture::traceCount("lock ipsec_writeRacoon"));
    EXPECT_EQ(3u, mdm_fixture::traceCount("unlock ipsec_writeRacoon"));
}

struct HostileCase {
    const char *field;
    std::string value;
    json extra; /* settings under which the field reaches a file */
};

std::vector<HostileCase> hostileCases() {
    const json peerFqdn = {{"ph1PeerIdType", "fqdn"}};
    const json myFqdn = {{"ph1MyIdType", "fqdn"}};
    std::vector<HostileCase> out;
    const char *fields[] = {"realRemoteIP",     "ph1Mode",         "ph1EncryptionAlo", "ph1IntegrityAlgo",
                            "ph1DHGroup",       "localIPAddress",  "remoteIPAddress",  "ph2DHGroup",
                            "ph2EncryptionAlo", "ph2IntegrityAlgo"};
    const char *bad[] = {"x\ny", "x;y", "x\"y", "x{y", "x}y", "x\ty", "x#y"};
    for (const char *f : fields)
        for (const char *b : bad)
            out.push_back({f, b, json::object()});
    for (const char *b : bad) {
        out.push_back({"ph1PeerId", b, peerFqdn});
        out.push_back({"ph1MyId", b, myFqdn});
    }
    /* A blank would end the psk.txt identifier and turn the rest into a key. */
    out.push_back({"ph1PeerId", "peer.example other-key", peerFqdn});
    out.push_back({"realRemoteIP", "203.0.113.8 other-key", json::object()});
    out.push_back({"PSK", "key\nattacker.example stolen", json::object()});
    out.push_back({"PSK", "key\rx", json::object()});
    /* A statement without its argument, or a remote block without a
     * proposal, would make the key daemon refuse the whole file. */
    for (const char *f : {"realRemoteIP", "ph1Mode", "ph1DHGroup", "localIPAddress", "ph2IntegrityAlgo"})
        out.push_back({f, "", json::object()});
    out.push_back({"ph1PeerId", "", peerFqdn});
    out.push_back({"authMethod", "", {{"authMethod", 1}}});
    /* Words racoon does not take there: it would refuse the whole file. */
    const std::pair<const char *, const char *> words[] = {
        {"ph2IntegrityAlgo", "sha1"},
        {"ph1DHGroup", "modp9999"},
        {"ph1Mode", "foo"},
        {"ph1EncryptionAlo", "AES"},
        {"ph1Mode", "main,,aggressive"},
        {"ph1Mode", "Main"},
        {"ph1EncryptionAlo", "aes 100"},
        {"ph1EncryptionAlo", "3des 128"},
        {"ph1EncryptionAlo", "aes 0256"},
        {"ph1EncryptionAlo", "twofish"},
        {"ph1EncryptionAlo", "idea"},
        {"ph1EncryptionAlo", "aes  128"},
        {"ph1IntegrityAlgo", "hmac_sha1"},
        {"ph1DHGroup", "3"},
        {"ph1DHGroup", "ec2n155"},
        {"ph1DHGroup", "014"},
        {"ph2DHGroup", "modp9999"},
        {"ph2EncryptionAlo", "null_enc"},
        {"ph2EncryptionAlo", "aes,"},
        {"ph2EncryptionAlo", "aes-cbc"},
        {"ph2EncryptionAlo", "aes 512"},
        {"ph2IntegrityAlgo", "non_auth"},
        {"ph2IntegrityAlgo", "hmac-sha1"},
        {"localIPAddress", "192.168.1.0x"},
        {"remoteIPAddress", "peer.example"},
    };
    for (const auto &w : words)
        out.push_back({w.first, w.second, json::object()});
    /* A psk.txt identifier is an address or a host name: racoon takes "*"
     * as the key of every peer. */
    for (const char *id : {"*", "*.example.org", "peer..example", "-peer.example", "peer_1.example"})
        out.push_back({"ph1PeerId", id, peerFqdn});
    out.push_back({"realRemoteIP", "peer.example", peerFqdn});
    /* Keys racoon would read otherwise: none for an empty one, the blanks
     * before it dropped, "0x..." as hexadecimal bytes, a line past its
     * 1,023 bytes cut and its tail read as another gateway's key. */
    out.push_back({"PSK", "", json::object()});
    out.push_back({"PSK", " key", json::object()});
    out.push_back({"PSK", "0xdeadbeef", json::object()});
    out.push_back({"PSK", std::string(1010, 'k') + "198.51.100.3 evilkey", json::object()});
    out.push_back({"PSK", std::string(1009, 'k'), json::object()}); /* "198.51.100.20 " + 1009 + "\n": 1024 */
    return out;
}

TEST_F(RacoonWriter, TunnelWithHostileTextIsSkippedAndLoggedOthersWritten) {
    for (const HostileCase &c : hostileCases()) {
        SCOPED_TRACE(std::string(c.field) + " = \"" + c.value + "\"");
        mdm_fixture::reset();
        shell_recorder::clear();
        json hostile = remoteNet(ikeTunnel(2, "198.51.100.20"), "10.99.0.0", "255.255.0.0");
        hostile[c.field] = c.value;
        for (auto it = c.extra.begin(); it != c.extra.end(); ++it)
            hostile[it.key()] = it.value();
        writeModel(
            {ikeTunnel(1, "203.0.113.7"), hostile, remoteNet(ikeTunnel(3, "192.0.2.50"), "10.22.0.0", "255.255.0.0")});
        StderrCapture log;
        EXPECT_EQ(2, ipsec_writeRacoon());
        std::string logged = log.text();
        expectGoldenFiles("hostile_tunnel_skipped");
        EXPECT_NE(std::string::npos, logged.find("ERROR ipsec_writeRacoon")) << logged;
        EXPECT_NE(std::string::npos, logged.find("tunnel 2 (tunnel2) skipped: " + std::string(c.field))) << logged;
        EXPECT_EQ(std::vector<std::string>{CHMOD}, shell_recorder::commands());
    }
}

TEST_F(RacoonWriter, KeyMayHoldConfigurationCharactersAndIsWrittenAsIs) {
    const struct {
        const char *name;
        std::string key;
    } rows[] = {
        {"statement characters, '#' and blanks", "a;b\"c{d}e#f g"},
        {"trailing blank, which racoon keeps", "key "},
        {"\"0X\": only \"0x\" is read as hexadecimal", "0Xdeadbeef"},
        {"the longest key whose line fits racoon's 1,023 bytes", std::string(1010, 'k')},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        json t = ikeTunnel(1, "203.0.113.7");
        t["PSK"] = r.key;
        writeModel({t});
        EXPECT_EQ(1, ipsec_writeRacoon());
        EXPECT_EQ("203.0.113.7 " + r.key + "\n", psk());
    }
}

/* What a pass that failed must leave: the previous files, whole. */
void expectPreviousFilesKept() {
    EXPECT_EQ("previous conf\n", test_files::read(IPSEC_RACOON_CONF));
    EXPECT_EQ("192.0.2.1 previous-key\n", test_files::read(IPSEC_PSK_TXT));
    EXPECT_EQ(0600, test_files::mode(IPSEC_PSK_TXT));
    EXPECT_EQ(-1, test_files::mode(ipsec_tempPath(IPSEC_RACOON_CONF)));
    EXPECT_EQ(-1, test_files::mode(ipsec_tempPath(IPSEC_PSK_TXT)));
}

void writePreviousFiles() {
    test_files::write(IPSEC_RACOON_CONF, "previous conf\n");
    test_files::write(IPSEC_PSK_TXT, "192.0.2.1 previous-key\n");
    chmod(IPSEC_PSK_TXT, 0600);
}

TEST_F(RacoonWriter, LockRefusedAtStartKeepsThePreviousFiles) {
    writeModel({ikeTunnel(1, "203.0.113.7")});
    writePreviousFiles();
    setenv("ZOR_FAIL_LOCK", "ipsec_writeRacoon:1", 1);
    StderrCapture log;
    EXPECT_EQ(-1, ipsec_writeRacoon());
    std::string logged = log.text();
    expectPreviousFilesKept();
    EXPECT_TRUE(shell_recorder::commands().empty());
    EXPECT_NE(std::string::npos, logged.find("ERROR ipsec_writeRacoon")) << logged;
    EXPECT_NE(std::string::npos, logged.find("ipsec_setkey failed to get lock, ret:")) << logged;
    expectLockFree();
}

TEST_F(RacoonWriter, LockRefusedAtRetakeKeepsThePreviousFiles) {
    writeModel({ikeTunnel(1, "203.0.113.7"), remoteNet(ikeTunnel(2, "198.51.100.20"), "10.99.0.0", "255.255.0.0"),
                remoteNet(ikeTunnel(3, "192.0.2.50"), "10.22.0.0", "255.255.0.0")});
    writePreviousFiles();
    /* The first take starts the pass; the third follows the second tunnel. */
    setenv("ZOR_FAIL_LOCK", "ipsec_writeRacoon:3", 1);
    StderrCapture log;
    EXPECT_EQ(-1, ipsec_writeRacoon());
    std::string logged = log.text();
    expectPreviousFilesKept();
    EXPECT_TRUE(shell_recorder::commands().empty());
    EXPECT_NE(std::string::npos, logged.find("ipsec_setkey failed to get lock, ret:")) << logged;
    expectLockFree();
}

int g_modeAtChmod = -1;

TEST_F(RacoonWriter, KeyFileIsPrivateBeforeTheChmodRunsEvenWithOpenUmask) {
    mode_t old = umask(0);
    g_modeAtChmod = -1;
    shell_recorder::setObserver([](const std::string &cmd) {
        if (cmd == CHMOD)
            g_modeAtChmod = test_files::mode(IPSEC_PSK_TXT);
    });
    writeModel({ikeTunnel(1, "203.0.113.7")});
    EXPECT_EQ(1, ipsec_writeRacoon());
    umask(old);
    shell_recorder::setObserver(nullptr);
    EXPECT_EQ(0600, g_modeAtChmod);
}

TEST_F(RacoonWriter, ExistingKeyFileOpenToOthersIsReplacedByAPrivateOne) {
    test_files::write(IPSEC_PSK_TXT, "198.51.100.1 old-key-that-must-go\n");
    chmod(IPSEC_PSK_TXT, 0644);
    test_files::write(ipsec_tempPath(IPSEC_PSK_TXT), "left by a crash\n");
    chmod(ipsec_tempPath(IPSEC_PSK_TXT).c_str(), 0644);
    writeModel({ikeTunnel(1, "203.0.113.7")});
    EXPECT_EQ(1, ipsec_writeRacoon());
    EXPECT_EQ(0600, test_files::mode(IPSEC_PSK_TXT));
    EXPECT_EQ("203.0.113.7 s3cret-key\n", psk());
    EXPECT_EQ(-1, test_files::mode(ipsec_tempPath(IPSEC_PSK_TXT)));
}

TEST_F(RacoonWriter, UnwritableFolderFailsWithoutRunningCommands) {
    rmdir("/var/ipsec");
    writeModel({ikeTunnel(1, "203.0.113.7")});
    EXPECT_EQ(-1, ipsec_writeRacoon());
    EXPECT_TRUE(shell_recorder::commands().empty());
    EXPECT_EQ(0u, mdm_fixture::traceCount("lock ipsec_writeRacoon"));
}

} // namespace
