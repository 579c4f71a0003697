/* zorctl edits racing the daemon's status writes on the same tunnel. The
 * daemon's monitor reads, reconciles and writes each tunnel under the global
 * lock; zorctl reads, changes and writes under it too. If either wrote back a
 * copy taken before the other's write, that write would be lost: an edit
 * undone by a status write, or a status undone by an edit. Both sides check,
 * after each of their own steps, that every step the other side had finished
 * before it began is still there. */
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/ipsec_state.h"
#include "mdm_fixture.h"
#include "monitor/ipsec_status.h"
#include "pfkeysim.h"
#include "shell_recorder.h"

using nlohmann::json;

namespace {

const char *const kWan = "198.51.100.2";
const char *const kPeer = "203.0.113.9";
constexpr int kEdits = 120;
constexpr uint32_t kSpiBase = 0x10000;

/* Progress both sides publish, in memory shared across fork. */
struct Shared {
    std::atomic<int> editsDone;
    std::atomic<int> ticksDone;
    std::atomic<int> editorFinished;
};

/* The number in connName "edit-N" (0 before any edit), and the tick number in
 * the SPI written by tick N (kSpiBase + N in hex); -1 when unreadable. */
int editIn(const json &t) {
    if (!t["connName"].is_string())
        return -1;
    const std::string s = t["connName"].get<std::string>();
    return s.rfind("edit-", 0) == 0 ? atoi(s.c_str() + 5) : 0;
}
int tickIn(const json &t) {
    if (!t["SPI"].is_string())
        return -1;
    const long v = strtol(t["SPI"].get<std::string>().c_str(), nullptr, 16);
    return v >= static_cast<long>(kSpiBase) ? static_cast<int>(v - kSpiBase) : 0;
}

using pfkeysim::sa;

/* The editor: kEdits zorctl runs on tunnel 1; exits with the number of
 * status writes it found undone. */
[[noreturn]] void editor(Shared *sh) {
    int lost = 0;
    for (int n = 1; n <= kEdits; n++) {
        const int ticksBefore = sh->ticksDone.load();
        const std::string cmd = "zorctl tunnel set 1 connName=edit-" + std::to_string(n) + " >/dev/null 2>&1";
        const int st = system(cmd.c_str());
        /* 1: edited, but no daemon listens for the change message here. */
        if (!WIFEXITED(st) || WEXITSTATUS(st) > 1) {
            fprintf(stderr, "zorctl failed: %d\n", st);
            _exit(100);
        }
        sh->editsDone.store(n);
        const json t = mdm_fixture::tunnel(1);
        if (editIn(t) != n) {
            fprintf(stderr, "edit %d not visible after zorctl returned (connName %s)\n", n,
                    t["connName"].dump().c_str());
            _exit(101);
        }
        if (tickIn(t) < ticksBefore) {
            fprintf(stderr, "status of tick %d undone by edit %d (SPI %s)\n", ticksBefore, n, t["SPI"].dump().c_str());
            lost++;
        }
    }
    sh->editorFinished.store(1);
    _exit(lost > 99 ? 99 : lost);
}

TEST(ModelRace, EveryEditAndEveryStatusWriteSurvives) {
    mdm_fixture::reset();
    mkdir("/var/ipsec", 0755);
    snprintf(l_wan_ip, sizeof(l_wan_ip), "%s", kWan);
    mdm_fixture::writeJson(json{{"IPSecCfgObject", json::array({{{"entryID", 1},
                                                                 {"enable", 1},
                                                                 {"connName", "race"},
                                                                 {"realRemoteIP", kPeer},
                                                                 {"remoteGWAddress", kPeer},
                                                                 {"keyExMethod", 0},
                                                                 {"SPI", "0"},
                                                                 {"secondSPI", "0"},
                                                                 {"status", 0}}})}});

    void *mem = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(MAP_FAILED, mem);
    Shared *sh = new (mem) Shared{{0}, {0}, {0}};
    fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        editor(sh);

    int undoneEdits = 0;
    int tick = 0;
    int st = -1;
    bool reaped = false;
    testing::internal::CaptureStderr();
    /* Tick as the daemon does, as fast as it can, until the editor is done. */
    while (!reaped && tick < 1000000) {
        tick++;
        const int editsBefore = sh->editsDone.load();
        pfkeysim::reset();
        pfkeysim::setTable({sa(kWan, kPeer, kSpiBase + tick, 3), sa(kPeer, kWan, kSpiBase + tick, 4)});
        shell_recorder::clear();
        ipsec_refresh_status();
        sh->ticksDone.store(tick);
        const json t = mdm_fixture::tunnel(1);
        EXPECT_EQ(tick, tickIn(t)) << "the status write of tick " << tick << " is not in the data model";
        if (editIn(t) < editsBefore)
            undoneEdits++;
        reaped = waitpid(child, &st, WNOHANG) == child;
    }
    const std::string log = testing::internal::GetCapturedStderr();
    if (!reaped) {
        kill(child, SIGKILL);
        waitpid(child, &st, 0);
    }
    ASSERT_TRUE(reaped) << "the editor did not finish";
    EXPECT_EQ(0, WIFEXITED(st) ? WEXITSTATUS(st) : -1) << "status writes undone by edits, or zorctl failed\n" << log;
    printf("%d zorctl edits raced %d status writes\n", kEdits, tick);
    EXPECT_GE(tick, kEdits / 2) << "too few ticks raced the edits to prove anything";
    EXPECT_EQ(0, undoneEdits) << "edits undone by status writes";
    const json t = mdm_fixture::tunnel(1);
    EXPECT_EQ(kEdits, editIn(t));
    EXPECT_EQ(1, t["status"].get<int>());
    munmap(mem, sizeof(Shared));
}

} // namespace
