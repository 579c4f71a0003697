/*
 * Writes the fuzzers' seed corpora: the real kernel captures framed as the
 * PF_KEY fuzzer reads them, the messages of the dispatch tests, usual tunnel
 * texts for the renderer fuzzer, and the texts
 * of the golden files (each line and each word) for the address and text
 * fuzzers.
 *
 *   fuzz_seeds OUTDIR    (creates OUTDIR/{pfkey,dispatch,render,addr,text})
 */
#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "msg_frame.h"
#include "zor.h"

namespace {

using Bytes = std::vector<unsigned char>;

int g_count = 0;

void writeSeed(const std::string &dir, const std::string &name, const Bytes &b) {
    const std::string path = dir + "/" + name;
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        return;
    if (!b.empty())
        fwrite(b.data(), 1, b.size(), f);
    fclose(f);
    g_count++;
}

std::vector<std::string> listDir(const std::string &dir) {
    std::vector<std::string> out;
    DIR *d = opendir(dir.c_str());
    if (!d)
        return out;
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.')
            out.push_back(dir + "/" + e->d_name);
    closedir(d);
    return out;
}

std::vector<std::string> readLines(const std::string &path) {
    std::vector<std::string> out;
    FILE *f = fopen(path.c_str(), "r");
    if (!f)
        return out;
    char buf[4096];
    while (fgets(buf, sizeof(buf), f)) {
        std::string line(buf);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        out.push_back(line);
    }
    fclose(f);
    return out;
}

Bytes fromHex(const std::string &hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        unsigned v = 0;
        if (sscanf(hex.c_str() + i, "%2x", &v) != 1)
            break;
        out.push_back(static_cast<unsigned char>(v));
    }
    return out;
}

/* Each capture file becomes one seed: its messages, each behind a 2-byte length. */
void pfkeySeeds(const std::string &src, const std::string &out) {
    for (const std::string &path : listDir(src + "/tests/fixtures/pfkey")) {
        if (path.size() < 4 || path.compare(path.size() - 4, 4, ".hex") != 0)
            continue;
        Bytes seed;
        for (const std::string &line : readLines(path)) {
            if (line.empty() || line[0] == '#')
                continue;
            Bytes msg = fromHex(line);
            seed.push_back(static_cast<unsigned char>(msg.size() & 0xff));
            seed.push_back(static_cast<unsigned char>(msg.size() >> 8));
            seed.insert(seed.end(), msg.begin(), msg.end());
        }
        writeSeed(out, path.substr(path.rfind('/') + 1), seed);
    }
}

using msg_frame::frame;
using msg_frame::wanMsg;

Bytes cfgMsg(UINT32 entryID, UINT32 op, UINT8 enable) {
    IpsecCfgChangedMsgBody body = msg_frame::cfgBody(entryID, op, enable);
    return frame(ZOR_MSG_IPSEC_CFG_CHANGED, &body, sizeof(body));
}

void dispatchSeeds(const std::string &out) {
    writeSeed(out, "wan_up_wan0", wanMsg("wan0", 1));
    writeSeed(out, "wan_down_wan0", wanMsg("wan0", 0));
    writeSeed(out, "wan_up_ppp0", wanMsg("ppp0", 1));
    Bytes cycle = wanMsg("wan0", 0);
    Bytes up = wanMsg("wan0", 1);
    cycle.insert(cycle.end(), up.begin(), up.end());
    writeSeed(out, "wan_down_up", cycle);
    for (UINT32 op = 1; op <= 5; op++)
        for (UINT32 id = 1; id <= 2; id++)
            for (UINT8 enable = 0; enable <= 1; enable++)
                writeSeed(out,
                          "cfg_op" + std::to_string(op) + "_id" + std::to_string(id) + "_en" + std::to_string(enable),
                          cfgMsg(id, op, enable));
    writeSeed(out, "cfg_header_only", frame(ZOR_MSG_IPSEC_CFG_CHANGED, "", 0));
}

/* Tunnel texts for the renderer fuzzer: the usual values, NUL between fields. */
void renderSeeds(const std::string &out) {
    const char *const usual[] = {"203.0.113.9",
                                 "192.168.1.0",
                                 "255.255.255.0",
                                 "10.2.0.0",
                                 "255.255.0.0",
                                 "1000",
                                 "1001",
                                 "aes-cbc",
                                 "00112233445566778899aabbccddeeff",
                                 "hmac-sha1",
                                 "0123456789abcdef0123456789abcdef01234567",
                                 "test-secret",
                                 "main",
                                 "fqdn",
                                 "me.example",
                                 "fqdn",
                                 "peer.example",
                                 "aes",
                                 "sha1",
                                 "modp1024",
                                 "aes",
                                 "hmac_sha1",
                                 "modp1024",
                                 "tunnel"};
    Bytes seed;
    for (const char *f : usual) {
        seed.insert(seed.end(), f, f + strlen(f));
        seed.push_back(0);
    }
    writeSeed(out, "usual", seed);
    writeSeed(out, "hostile_gateway", Bytes{'1', '.', '2', '.', '3', '.', '4', ';', '\n', 0});
}

/* Every line of the golden files and every word of it. */
void textSeeds(const std::string &src, const std::string &addrOut, const std::string &textOut) {
    int n = 0;
    for (const std::string &area : listDir(src + "/tests/golden"))
        for (const std::string &path : listDir(area))
            for (const std::string &line : readLines(path)) {
                if (line.empty() || line.size() > 200 || n > 4000)
                    continue;
                writeSeed(textOut, "line" + std::to_string(n++), Bytes(line.begin(), line.end()));
                char *save = nullptr;
                std::string copy = line;
                for (char *w = strtok_r(&copy[0], " \t;/", &save); w; w = strtok_r(nullptr, " \t;/", &save))
                    if (strspn(w, "0123456789.") == strlen(w) && strlen(w) >= 7)
                        writeSeed(addrOut, "word" + std::to_string(n++), Bytes(w, w + strlen(w)));
            }
    for (const char *s : {"255.255.255.0", "0.0.0.0", "255.255.255.255", "localhost", "peer.example", "ppp0"})
        writeSeed(addrOut, std::string("fixed_") + s, Bytes(s, s + strlen(s)));
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: fuzz_seeds OUTDIR\n");
        return 2;
    }
    const std::string out = argv[1];
    const std::string src = IPSEC_SOURCE_DIR;
    mkdir(out.c_str(), 0755);
    for (const char *sub : {"pfkey", "dispatch", "render", "addr", "text"})
        mkdir((out + "/" + sub).c_str(), 0755);
    pfkeySeeds(src, out + "/pfkey");
    dispatchSeeds(out + "/dispatch");
    renderSeeds(out + "/render");
    textSeeds(src, out + "/addr", out + "/text");
    printf("%d seeds in %s\n", g_count, out.c_str());
    return g_count > 0 ? 0 : 1;
}
