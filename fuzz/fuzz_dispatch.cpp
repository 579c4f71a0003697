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
#include "mdm_fixture.h"
#include "pfkeysim.h"
#include "shell_recorder.h"
#include "system_model.h"
#include "wan_state.h"

namespace {

constexpr size_t kMaxMessages = 4;
constexpr size_t kMaxBody = 1024;

bool plainCommand(const std::string &cmd) {
    static const char *const kChars = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789./_:- ";
    return !cmd.empty() && strspn(cmd.c_str(), kChars) == cmd.size();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (!getenv("IPSEC_SANDBOX")) {
        fprintf(stderr, "fuzz_dispatch writes /var/ipsec: run it inside scripts/sandbox.sh\n");
        exit(2);
    }
    /* Two tunnels (manual 1, IKE 2) and a connected WAN on wan0. */
    mdm_fixture::writeJson(sysmodel::twoTunnels(sysmodel::CONNECTED_WAN0));
    mkdir("/var/ipsec", 0700);
    /* The tunnels' SAs, so that deletions by request id find something. */
    pfkeysim::setTable({pfkeysim::sa(0x1000, 3), pfkeysim::sa("203.0.113.9", "198.51.100.2", 0x1001, 4)});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    wan_state::up();
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
