/*
 * Stand-in framework: runtime utilities. The default-gateway interface from
 * the kernel's IPv4 routing table, and the filter rules admitting IKE (UDP
 * 500), NAT traversal (UDP 4500) and ESP on a WAN interface, run as
 * `iptables` from PATH without a shell.
 */
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "zor_internal.h"

namespace {

constexpr unsigned kRouteUp = 0x0001; /* RTF_UP */

/* A plain interface name: 1 to 15 of [A-Za-z0-9_.-], not "." or "..". */
bool isPlainIfName(const char *s) {
    if (!s)
        return false;
    size_t len = strnlen(s, 16);
    if (len == 0 || len > 15 || strcmp(s, ".") == 0 || strcmp(s, "..") == 0)
        return false;
    for (size_t i = 0; i < len; i++) {
        char c = s[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
              c == '-'))
            return false;
    }
    return true;
}

/* Runs iptables with `args`; its exit status, or -1 when it could not run.
 * `quiet` sends its output to /dev/null (the answers of -C). */
int runIptables(const std::vector<std::string> &args, bool quiet) {
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>("iptables"));
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        if (quiet) {
            int null = open("/dev/null", O_WRONLY);
            if (null >= 0) {
                dup2(null, STDOUT_FILENO);
                dup2(null, STDERR_FILENO);
            }
        }
        execvp("iptables", argv.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::vector<std::string>> admissionRules(const char *ifName) {
    const std::string i = ifName;
    return {
        {"-i", i, "-p", "udp", "--dport", "500", "-j", "ACCEPT"},
        {"-i", i, "-p", "udp", "--dport", "4500", "-j", "ACCEPT"},
        {"-i", i, "-p", "esp", "-j", "ACCEPT"},
    };
}

std::vector<std::string> command(const char *op, const std::vector<std::string> &rule) {
    std::vector<std::string> args = {"-w", "-t", "filter", op, "INPUT"};
    args.insert(args.end(), rule.begin(), rule.end());
    return args;
}

} // namespace

void rut_getDefaultGatewayInterfaceName(char *ifName) {
    if (!ifName)
        return;
    ifName[0] = '\0';
    FILE *f = fopen("/proc/net/route", "r");
    if (!f)
        return;
    char line[256];
    unsigned long bestMetric = ~0ul;
    bool header = true;
    while (fgets(line, sizeof(line), f)) {
        if (header) {
            header = false;
            continue;
        }
        char iface[32];
        unsigned long dest = 0, gw = 0, flags = 0, mask = 0, metric = 0;
        if (sscanf(line, "%31s %lx %lx %lx %*d %*d %lu %lx", iface, &dest, &gw, &flags, &metric, &mask) != 6)
            continue;
        (void)gw;
        if (dest != 0 || mask != 0 || !(flags & kRouteUp) || metric >= bestMetric)
            continue;
        bestMetric = metric;
        zorUtl_strncpy(ifName, iface, 16);
    }
    fclose(f);
}

ZorRet rutIpt_initIpSecPolicy(const char *ifName) {
    if (!isPlainIfName(ifName)) {
        log_log(ZOR_LOG_ERR, __func__, __LINE__, "refused interface name \"%.16s\"", ifName ? ifName : "(null)");
        return ZORRET_INVALID_ARGUMENTS;
    }
    ZorRet ret = ZORRET_SUCCESS;
    for (const auto &rule : admissionRules(ifName)) {
        if (runIptables(command("-C", rule), true) == 0)
            continue;
        if (runIptables(command("-I", rule), false) != 0) {
            log_log(ZOR_LOG_ERR, __func__, __LINE__, "iptables could not add an admission rule on %s", ifName);
            ret = ZORRET_INTERNAL_ERROR;
        }
    }
    return ret;
}

ZorRet rutIpt_removeIpSecPolicy(const char *ifName) {
    /* An empty name is no interface: nothing was admitted on it. */
    if (ifName && ifName[0] == '\0')
        return ZORRET_SUCCESS;
    if (!isPlainIfName(ifName)) {
        log_log(ZOR_LOG_ERR, __func__, __LINE__, "refused interface name \"%.16s\"", ifName ? ifName : "(null)");
        return ZORRET_INVALID_ARGUMENTS;
    }
    ZorRet ret = ZORRET_SUCCESS;
    for (const auto &rule : admissionRules(ifName)) {
        /* Every copy goes, also ones added by hand; bounded in case -D keeps failing. */
        for (int n = 0; n < 64 && runIptables(command("-C", rule), true) == 0; n++) {
            if (runIptables(command("-D", rule), false) != 0) {
                log_log(ZOR_LOG_ERR, __func__, __LINE__, "iptables could not remove an admission rule on %s", ifName);
                ret = ZORRET_INTERNAL_ERROR;
                break;
            }
        }
    }
    return ret;
}
