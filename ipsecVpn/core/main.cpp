/*
 * The IPsec VPN daemon: attaches to the management framework as its IPsec
 * entity, makes its working directory and then waits, 15 seconds a pass, for
 * framework messages. A quiet pass while the WAN is up is a monitoring tick.
 */
#include <fcntl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/ipsec_dispatch.h"
#include "core/ipsec_state.h"
#include "framework/zor.h"
#include "monitor/ipsec_fqdn.h"
#include "monitor/ipsec_status.h"
#include "render/ipsec_paths.h"

namespace {

constexpr time_t IPSEC_WAIT_SECONDS = 15;

/* Text that does not begin with a number reads as 0; out-of-range values are clamped. */
SINT32 readShmId(const char *text) {
    long v = strtol(text, nullptr, 10);
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return static_cast<SINT32>(v);
}

void parseOptions(int argc, char **argv, SINT32 *shmId) {
    opterr = 0; /* unknown options are passed over quietly */
    int c;
    while ((c = getopt(argc, argv, "v:m:")) != -1) {
        if (c == 'm') {
            *shmId = readShmId(optarg);
            printf("optarg=%s shmId=%d \n", optarg, *shmId);
            fflush(stdout);
        }
    }
}

/* The working directory exists, is ours and is not writable by group or
 * others. One left from an earlier run is reused (a restart after a crash). */
bool makeWorkDir() {
    if (mkdir(IPSEC_DIR, 0755) != 0 && errno != EEXIST)
        return false;
    struct stat st;
    if (lstat(IPSEC_DIR, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid())
        return false;
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && chmod(IPSEC_DIR, st.st_mode & 07755) != 0)
        return false;
    return true;
}

void receiveOne() {
    ZorMsgHeader *raw = nullptr;
    ZorRet ret = zorMsg_receiveWithTimeout(msgHandle, &raw, 0);
    /* Released whatever the receive said, once handled. */
    std::unique_ptr<ZorMsgHeader, void (*)(void *)> msg(raw, zorMem_free);
    if (ret == ZORRET_SUCCESS && msg)
        ipsec_handleMessageFromKiv(msg.get());
}

void monitorTick() {
    if (current_wan_state != 1)
        return;
    ipsec_keepTunnels();
    ipsec_checkFQDNChange();
    ipsec_refresh_status();
}

[[noreturn]] void runLoop(int fd) {
    for (;;) {
        fd_set readFd;
        FD_ZERO(&readFd);
        FD_SET(fd, &readFd);
        struct timeval ipsecTmo = {IPSEC_WAIT_SECONDS, 0};
        int n = select(fd + 1, &readFd, nullptr, nullptr, &ipsecTmo);
        if (n < 0) {
            if (errno != EINTR) {
                log_log(ZOR_LOG_ERR, __func__, __LINE__, "ipsec wait for messages failed: %s\n", strerror(errno));
                sleep(static_cast<unsigned>(IPSEC_WAIT_SECONDS)); /* never a busy loop */
            }
            continue;
        }
        if (FD_ISSET(fd, &readFd))
            receiveOne();
        else
            monitorTick();
    }
}

} // namespace

int main(int argc, char **argv) {
    SINT32 shmId = -1;
    zorLog_init(EID_IPSEC);
    signal(SIGINT, SIG_IGN);
    printf("IPSec VPN daemon running!\n");
    fflush(stdout);
    parseOptions(argc, argv, &shmId);

    ZorRet ret = zorMsg_init(EID_IPSEC, &msgHandle);
    if (ret != ZORRET_SUCCESS) {
        log_log(ZOR_LOG_ERR, __func__, __LINE__, "zorMsg_init failed, ret=%d", ret);
        return 0;
    }
    ret = zorMdm_init(EID_IPSEC, msgHandle, &shmId);
    if (ret != ZORRET_SUCCESS) {
        zorMsg_cleanup(&msgHandle);
        log_log(ZOR_LOG_ERR, __func__, __LINE__, "zorMdm_init error ret=%d", ret);
        return 0;
    }
    if (!makeWorkDir()) {
        log_log(ZOR_LOG_ERR, __func__, __LINE__, "ipsec mkdir error\n");
        zorMsg_cleanup(&msgHandle);
        return 0;
    }
    int fd = -1;
    zorMsg_getEventHandle(msgHandle, &fd);
    /* select() can watch only open descriptors below FD_SETSIZE. */
    if (fd < 0 || fd >= FD_SETSIZE || fcntl(fd, F_GETFD) == -1) {
        log_log(ZOR_LOG_ERR, __func__, __LINE__, "ipsec message descriptor %d cannot be waited on\n", fd);
        zorMsg_cleanup(&msgHandle);
        return 0;
    }
    /* A daemon restarted while the WAN is up (a crash, an upgrade) gets no WAN
     * message: it finds out for itself. */
    ipsec_checkWanAtStart();
    runLoop(fd);
}
