/* The stand-in data model for unit tests: fresh ZOR_HOME, mdm.json access, trace. */
#include "mdm_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "../../standin/framework/zor_standin.h"
#include "test_files.h"

namespace {
/* The folder the last reset made, and by which process: only that process removes it. */
std::string g_made;
pid_t g_maker = 0;
} // namespace

namespace mdm_fixture {

std::string reset() {
    zorLck_releaseLockTraced("mdm_fixture");
    for (const char *hook : {"ZOR_FAIL_LOCK", "ZOR_FAIL_SET", "ZOR_FAIL_MSG_INIT", "ZOR_FAIL_MDM_INIT", "ZOR_LOG"})
        unsetenv(hook);
    zor_standin::resetCounters();

    std::string base = "/var/run";
    if (!getenv("IPSEC_SANDBOX")) {
        const char *tmp = getenv("TMPDIR");
        base = (tmp && tmp[0]) ? tmp : "/tmp";
    }
    mkdir(base.c_str(), 0755);
    std::string templ = base + "/zor-test-XXXXXX";
    std::vector<char> name(templ.begin(), templ.end());
    name.push_back('\0');
    std::string dir = mkdtemp(name.data()) ? std::string(name.data()) : base + "/zor-test";
    mkdir(dir.c_str(), 0755);
    if (!g_made.empty() && g_maker == getpid()) {
        std::error_code ignored;
        std::filesystem::remove_all(g_made, ignored);
    }
    g_made = dir;
    g_maker = getpid();
    setenv("ZOR_HOME", dir.c_str(), 1);
    setenv("ZOR_TRACE", (dir + "/trace").c_str(), 1);
    return dir;
}

std::string home() {
    return zor_standin::home();
}
std::string mdmPath() {
    return zor_standin::mdmPath();
}

void writeJson(const std::string &text) {
    std::error_code ignored;
    std::filesystem::create_directories(home(), ignored);
    test_files::write(mdmPath(), text);
}
void writeJson(const char *text) {
    writeJson(std::string(text ? text : ""));
}
void writeJson(const nlohmann::json &model) {
    writeJson(model.dump(2) + "\n");
}

nlohmann::json readJson() {
    bool ok = false;
    std::string text = test_files::read(mdmPath(), &ok);
    if (!ok)
        return nullptr;
    nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
    return j.is_discarded() ? nlohmann::json() : j;
}

nlohmann::json tunnel(UINT32 entryID) {
    nlohmann::json model = readJson();
    if (!model.is_object() || !model.contains("IPSecCfgObject") || !model["IPSecCfgObject"].is_array())
        return nullptr;
    for (const auto &t : model["IPSecCfgObject"])
        if (t.is_object() && t.value("entryID", 0u) == entryID)
            return t;
    return nullptr;
}

nlohmann::json tunnelField(UINT32 entryID, const std::string &field) {
    nlohmann::json t = tunnel(entryID);
    if (!t.is_object() || !t.contains(field))
        return nullptr;
    return t[field];
}

InstanceIdStack tunnelPath(UINT32 entryID) {
    InstanceIdStack path = EMPTY_INSTANCE_ID_STACK;
    nlohmann::json iid = tunnelField(entryID, "_iid");
    if (iid.is_number_unsigned()) {
        path.currentDepth = 1;
        path.instance[0] = iid.get<UINT32>();
    }
    return path;
}

std::vector<std::string> trace() {
    std::vector<std::string> lines;
    const char *file = getenv("ZOR_TRACE");
    if (!file)
        return lines;
    std::string text = test_files::read(file);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

size_t traceCount(const std::string &prefix) {
    size_t n = 0;
    for (const std::string &line : trace())
        n += (line.compare(0, prefix.size(), prefix) == 0);
    return n;
}

} // namespace mdm_fixture
