/* zorctl: show, status and lock — reading the data model and holding the lock. */
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "zorctl.h"

namespace {

const char kShowHelp[] = "usage: zorctl show\n"
                         "Prints the data model ($ZOR_HOME/mdm.json) as JSON, read under the global lock.\n";
const char kStatusHelp[] = "usage: zorctl status [--json]\n"
                           "One row per tunnel, in data-model order: entryID, connName, enable, status,\n"
                           "SPI, secondSPI, remoteGWAddress, realRemoteIP. Unset texts show as \"-\"\n"
                           "(null with --json, which prints a JSON list of objects).\n";
const char kLockHelp[] = "usage: zorctl lock --hold MS\n"
                         "Takes the framework's global lock, prints \"locked\" and holds the lock for\n"
                         "MS milliseconds before releasing it (for tests of lock contention).\n";

const char *const kColumns[8] = {"entryID", "connName",  "enable",          "status",
                                 "SPI",     "secondSPI", "remoteGWAddress", "realRemoteIP"};
const char kRowFormat[] = "%-8s %-16s %-6s %-6s %-10s %-10s %-24s %s\n";

/* A tunnel's value in one column: an absent text is unset (null), an absent number 0. */
zorctl::Json column(const zorctl::Json &t, const char *field) {
    auto it = t.find(field);
    if (it != t.end())
        return *it;
    bool text = zor_standin::fieldKind(ZOR_OID_IPSEC_CFG, field) == zor_standin::FieldKind::Text;
    return text ? zorctl::Json(nullptr) : zorctl::Json(0);
}

/* The model under the lock; false after saying why. */
bool readModel(zorctl::Lock &lock, zorctl::Json **root) {
    if (!lock.take())
        return false;
    ZorRet ret = zor_standin::modelGet(root);
    if (ret != ZORRET_SUCCESS) {
        zorctl::complain("the data model %s cannot be used (result %d)", zor_standin::mdmPath().c_str(),
                         static_cast<int>(ret));
        return false;
    }
    return true;
}

} // namespace

namespace zorctl {

int cmdShow(const Args &args) {
    if (wantsHelp(args)) {
        fputs(kShowHelp, stdout);
        return EXIT_OK;
    }
    if (!args.empty()) {
        complain("show takes no arguments");
        return EXIT_USAGE;
    }
    Lock lock;
    Json *root = nullptr;
    if (!readModel(lock, &root))
        return EXIT_FAILED;
    printf("%s\n", root->dump(2).c_str());
    return EXIT_OK;
}

int cmdStatus(const Args &args) {
    if (wantsHelp(args)) {
        fputs(kStatusHelp, stdout);
        return EXIT_OK;
    }
    bool json = (args.size() == 1 && args[0] == "--json");
    if (!args.empty() && !json) {
        complain("status takes only --json");
        return EXIT_USAGE;
    }
    Lock lock;
    Json *root = nullptr;
    if (!readModel(lock, &root))
        return EXIT_FAILED;
    Json tunnels = root->contains("IPSecCfgObject") ? (*root)["IPSecCfgObject"] : Json::array();
    if (json) {
        Json out = Json::array();
        for (const Json &t : tunnels) {
            Json row = Json::object();
            for (const char *c : kColumns)
                row[c] = column(t, c);
            out.push_back(row);
        }
        printf("%s\n", out.dump(2).c_str());
        return EXIT_OK;
    }
    printf(kRowFormat, "entryID", "connName", "enable", "status", "SPI", "secondSPI", "remoteGWAddress",
           "realRemoteIP");
    for (const Json &t : tunnels) {
        std::string c[8];
        for (size_t i = 0; i < 8; i++) {
            Json v = column(t, kColumns[i]);
            c[i] = v.is_null() ? "-" : v.is_string() ? v.get<std::string>() : v.dump();
        }
        printf(kRowFormat, c[0].c_str(), c[1].c_str(), c[2].c_str(), c[3].c_str(), c[4].c_str(), c[5].c_str(),
               c[6].c_str(), c[7].c_str());
    }
    return EXIT_OK;
}

int cmdLock(const Args &args) {
    if (wantsHelp(args)) {
        fputs(kLockHelp, stdout);
        return EXIT_OK;
    }
    UINT32 ms = 0;
    if (args.size() != 2 || args[0] != "--hold" || !parseU32(args[1], &ms)) {
        complain("usage: zorctl lock --hold MS");
        return EXIT_USAGE;
    }
    Lock lock;
    if (!lock.take())
        return EXIT_FAILED;
    printf("locked\n");
    fflush(stdout);
    struct timespec ts = {static_cast<time_t>(ms / 1000), static_cast<long>((ms % 1000) * 1000000L)};
    while (nanosleep(&ts, &ts) != 0) {
    }
    return EXIT_OK;
}

} // namespace zorctl
