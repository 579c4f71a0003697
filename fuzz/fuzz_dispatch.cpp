/*
 * Fuzzer for message dispatch: arbitrary framework messages handed to the
 * daemon's dispatch entry with the real renderers and process control, the
 * stand-in data model, the shell recorder in place of the shell and the
 * simulated PF_KEY kernel. Writes /var/ipsec: run it inside scripts/sandbox.sh.
 *
 * Input: up to four messages, each a 28-byte header whose dataLength (capped
 * by what is left) gives the body that follows, as the framework delivers
 * them (it refuses a datagram whose dataLength disagrees with its size).
 * Every input starts from the WAN up on wan0. Checked besides the
 * sanitizers: every command the daemon would run is built of plain words
 * (letters, digits, ". / _ : -" and spaces), so no message text reaches the
 * shell.
 */
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/ipsec_dispatch.h"
#include "core/ipsec_state.h"
#include "pfkeysim.h"
#include "shell_recorder.h"

namespace {

constexpr size_t kMaxMessages = 4;
constexpr size_t kMaxBody = 1024;

/* Two tunnels (manual 1, IKE 2) and a connected WAN on wan0. */
const char *const kModel = R"({"IPSecCfgObject": [
 {"_iid": 1, "entryID": 1, "enable": 1, "connName": "manual", "realRemoteIP": "203.0.113.9",
  "remoteGWAddress": "203.0.113.9", "localIPMode": 0, "localIPAddress": "192.168.1.0", "localMask": "255.255.255.0",
  "remoteIPMode": 0, "remoteIPAddress": "10.2.0.0", "remoteMask": "255.255.0.0", "keyExMethod": 1, "authMethod": 0,
  "manualEncryptionAlgo": "aes-cbc", "manualEncryptionKey": "00112233445566778899aabbccddeeff",
  "manualAuthAlgo": "hmac-sha1", "manualAthKey": "0123456789abcdef0123456789abcdef01234567",
  "SPI": "1000", "secondSPI": "1001", "status": 0},
 {"_iid": 2, "entryID": 2, "enable": 1, "connName": "ike", "realRemoteIP": "192.0.2.50",
  "remoteGWAddress": "192.0.2.50", "localIPMode": 0, "localIPAddress": "192.168.1.0", "localMask": "255.255.255.0",
  "remoteIPMode": 1, "remoteIPAddress": "192.0.2.77", "remoteMask": "255.255.255.255", "keyExMethod": 0,
  "authMethod": 0, "PSK": "test-secret", "DPD": 1, "perfectFSEn": 1, "ph1Mode": "main",
  "ph1MyIdType": "address", "ph1PeerIdType": "address", "ph1EncryptionAlo": "aes", "ph1IntegrityAlgo": "sha1",
  "ph1DHGroup": "modp1024", "ph1KeyTime": 28800, "ph2EncryptionAlo": "aes", "ph2IntegrityAlgo": "hmac_sha1",
  "ph2DHGroup": "modp1024", "ph2KeyTime": 3600, "SPI": "0", "secondSPI": "0", "status": 0}],
 "WanDevObject": [{"_iid": 1, "name": "wan", "WanIpConnObject": [{"enable": 1, "connectionStatus": "Connected",
    "connectionType": "IP_Routed", "X_VORTALIX_COM_IfName": "wan0", "externalIPAddress": "198.51.100.2"}]}]}
)";

bool plainCommand(const std::string &cmd) {
    static const char *const kChars = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789./_:- ";
    return !cmd.empty() && strspn(cmd.c_str(), kChars) == cmd.size();
}

void wanUpOnWan0() {
    current_wan_state = 1;
    snprintf(l_wan_ip, sizeof(l_wan_ip), "198.51.100.2");
    snprintf(default_ifName, sizeof(default_ifName), "wan0");
    old_default_ifName[0] = '\0';
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (!getenv("IPSEC_SANDBOX")) {
        fprintf(stderr, "fuzz_dispatch writes /var/ipsec: run it inside scripts/sandbox.sh\n");
        exit(2);
    }
    const char *home = getenv("ZOR_HOME");
    std::string dir = home && *home ? home : "/var/run/zor";
    setenv("ZOR_HOME", dir.c_str(), 1);
    mkdir(dir.c_str(), 0755);
    FILE *f = fopen((dir + "/mdm.json").c_str(), "w");
    if (!f || fputs(kModel, f) < 0 || fclose(f) != 0)
        exit(2);
    mkdir("/var/ipsec", 0700);
    /* The tunnels' SAs, so that deletions by request id find something. */
    pfkeysim::Sa out;
    out.reqid = 3;
    pfkeysim::Sa in = out;
    in.src = out.dst;
    in.dst = out.src;
    in.spi = 0x1001;
    in.reqid = 4;
    pfkeysim::setTable({out, in});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    wanUpOnWan0();
    shell_recorder::clear();
    size_t off = 0;
    for (size_t n = 0; n < kMaxMessages && size - off >= ZOR_MSG_HEADER_SIZE; n++) {
        ZorMsgHeader hdr;
        memcpy(&hdr, data + off, sizeof(hdr));
        size_t body = size - off - ZOR_MSG_HEADER_SIZE;
        if (hdr.dataLength < body)
            body = hdr.dataLength;
        if (body > kMaxBody)
            body = kMaxBody;
        hdr.dataLength = static_cast<UINT32>(body);
        /* One block of exactly header and body, as the framework hands it over. */
        std::vector<uint8_t> block(ZOR_MSG_HEADER_SIZE + body);
        memcpy(block.data(), &hdr, sizeof(hdr));
        memcpy(block.data() + ZOR_MSG_HEADER_SIZE, data + off + ZOR_MSG_HEADER_SIZE, body);
        ipsec_handleMessageFromKiv(reinterpret_cast<const ZorMsgHeader *>(block.data()));
        off += ZOR_MSG_HEADER_SIZE + body;
    }
    for (const std::string &cmd : shell_recorder::commands())
        if (!plainCommand(cmd)) {
            fprintf(stderr, "command with unexpected characters: %s\n", cmd.c_str());
            abort();
        }
    return 0;
}
