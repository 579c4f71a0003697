/*
 * Fuzzer for the PF_KEY dump walk: arbitrary bytes as the kernel's replies.
 *
 * Input: a stream of replies, each a 2-byte little-endian length and that many
 * bytes (up to 6000, so a reply can exceed the 4096-byte read buffer). Replies
 * whose sadb_msg_pid equals the first reply's get the requester's pid, as a
 * capture replayed to a new process does. Each input is answered twice by the
 * simulated kernel: once to the status dump, once to the deletion by request
 * id. Checked besides the sanitizers: a dump never returns more SAs than
 * replies, and every delete line is well formed.
 */
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <unistd.h>

#include "monitor/ipsec_delete.h"
#include "monitor/ipsec_pfkey.h"
#include "pfkeysim.h"

namespace {

constexpr size_t kMaxReply = 6000;
constexpr size_t kMaxReplies = 64;

std::vector<std::vector<uint8_t>> splitReplies(const uint8_t *data, size_t size) {
    std::vector<std::vector<uint8_t>> out;
    size_t off = 0;
    while (size - off >= 2 && out.size() < kMaxReplies) {
        size_t len = static_cast<size_t>(data[off]) | (static_cast<size_t>(data[off + 1]) << 8);
        off += 2;
        len = len % (kMaxReply + 1);
        if (len > size - off)
            len = size - off;
        out.emplace_back(data + off, data + off + len);
        off += len;
    }
    return out;
}

uint32_t firstPid(const std::vector<std::vector<uint8_t>> &replies) {
    uint32_t pid = 0;
    if (!replies.empty() && replies[0].size() >= 16)
        std::memcpy(&pid, replies[0].data() + 12, sizeof(pid));
    return pid;
}

void checkDeleteLines(FILE *f) {
    fflush(f);
    rewind(f);
    char line[256];
    while (fgets(line, sizeof(line), f)) {
        unsigned spi = 0;
        char tail[8] = "";
        if (sscanf(line, "delete 198.51.100.2 203.0.113.9 esp 0x%x%7s", &spi, tail) != 2 || strcmp(tail, ";") != 0)
            abort();
    }
    rewind(f);
    if (ftruncate(fileno(f), 0) != 0)
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static FILE *sink = tmpfile();
    if (!sink)
        abort();
    const std::vector<std::vector<uint8_t>> replies = splitReplies(data, size);
    const uint32_t pid = firstPid(replies);

    pfkeysim::reset();
    pfkeysim::replayNext(replies, pid);
    std::vector<PfkeySaMsg> sas;
    pfkey_dumpEsp(sas);
    if (sas.size() > replies.size())
        abort();

    /* The same replies once more, read by the parser directly and by the
     * deletion of request id 3 (tunnel 1's outbound SA). */
    for (const std::vector<uint8_t> &r : replies) {
        PfkeySaMsg sa{};
        pfkey_parseDumpReply(r.data(), r.size() > 4096 ? 4096 : r.size(), pid, &sa);
    }
    pfkeysim::reset();
    pfkeysim::replayNext(replies, pid);
    ipsec_delete_Sa_reqid(3, sink, "198.51.100.2", "203.0.113.9");
    checkDeleteLines(sink);
    if (pfkeysim::openSockets() != 0)
        abort(); /* a socket left open on some path */
    return 0;
}
