/*
 * zorctl: plays the framework's other applications for the IPsec daemon. It
 * edits the data model under the global lock and sends the daemon the
 * messages a web page or the system management daemon would send.
 */
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

#include "zorctl.h"

namespace {

const char kUsage[] = "usage: zorctl COMMAND [ARG]...\n"
                      "\n"
                      "  show                          print the data model as JSON\n"
                      "  status [--json]               one row per tunnel: state and SPIs\n"
                      "  tunnel add FIELD=VALUE...     add a tunnel and tell the daemon\n"
                      "  tunnel set ENTRYID FIELD=VALUE... [--restart]\n"
                      "                                change a tunnel and tell the daemon\n"
                      "  tunnel del ENTRYID            delete a tunnel and tell the daemon\n"
                      "  wan set IFNAME [--ppp] [--device NAME] FIELD=VALUE...\n"
                      "                                create or change a WAN connection\n"
                      "  wan up IFNAME                 tell the daemon a WAN connection came up\n"
                      "  wan down IFNAME               tell the daemon a WAN connection went down\n"
                      "  lock --hold MS                hold the global lock for MS milliseconds\n"
                      "\n"
                      "Every command takes --help. The framework's folder is $ZOR_HOME\n"
                      "(default /var/run/zor). Exit status: 0 done; 1 failed, or the edit\n"
                      "was made but no daemon took the message; 2 bad command, field or\n"
                      "value (nothing changed).\n";

} // namespace

namespace zorctl {

void complain(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    fputs("zorctl: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
}

bool wantsHelp(const Args &args) {
    for (const std::string &a : args)
        if (a == "--help" || a == "-h")
            return true;
    return false;
}

bool Lock::take(UINT32 timeoutMs) {
    ZorRet ret = zorLck_acquireLockWithTimeoutTraced("zorctl", timeoutMs);
    held_ = (ret == ZORRET_SUCCESS);
    if (!held_)
        complain("could not take the framework's global lock (result %d)", static_cast<int>(ret));
    return held_;
}

int sendToDaemon(const ZorMsgHeader *header, const void *body) {
    const unsigned dst = header->dst;
    /* Header and body in one block, as the framework lays a message out. */
    std::unique_ptr<void, void (*)(void *)> msg(zorMem_alloc(ZOR_MSG_HEADER_SIZE + header->dataLength, 0), zorMem_free);
    memcpy(msg.get(), header, ZOR_MSG_HEADER_SIZE);
    if (header->dataLength)
        memcpy(static_cast<unsigned char *>(msg.get()) + ZOR_MSG_HEADER_SIZE, body, header->dataLength);

    void *handle = nullptr;
    ZorRet ret = zor_standin::msgOpenPrivate(&handle);
    if (ret == ZORRET_SUCCESS) {
        ret = zor_standin::msgSend(handle, static_cast<const ZorMsgHeader *>(msg.get()));
        zorMsg_cleanup(&handle);
    }
    if (ret == ZORRET_SUCCESS)
        return EXIT_OK;
    if (ret == ZORRET_MSG_NOT_DELIVERED)
        complain("message not delivered: no daemon listening as entity %u", dst);
    else
        complain("message not delivered (result %d)", static_cast<int>(ret));
    return EXIT_FAILED;
}

} // namespace zorctl

int main(int argc, char **argv) {
    zorLog_init(0);
    zorctl::Args args(argv + 1, argv + argc);
    if (args.empty()) {
        fputs(kUsage, stderr);
        return zorctl::EXIT_USAGE;
    }
    const std::string cmd = args[0];
    zorctl::Args rest(args.begin() + 1, args.end());
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        fputs(kUsage, stdout);
        return zorctl::EXIT_OK;
    }
    if (cmd == "show")
        return zorctl::cmdShow(rest);
    if (cmd == "status")
        return zorctl::cmdStatus(rest);
    if (cmd == "tunnel")
        return zorctl::cmdTunnel(rest);
    if (cmd == "wan")
        return zorctl::cmdWan(rest);
    if (cmd == "lock")
        return zorctl::cmdLock(rest);
    zorctl::complain("unknown command \"%s\"", cmd.c_str());
    fputs(kUsage, stderr);
    return zorctl::EXIT_USAGE;
}
