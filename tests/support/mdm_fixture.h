/*
 * The stand-in data model for unit tests: a fresh, private ZOR_HOME per test
 * and direct access to its mdm.json (the file the framework reads under its
 * global lock), so a test can lay out tunnels and WAN connections and read
 * back what the code under test wrote.
 *
 *   mdm_fixture::reset();
 *   mdm_fixture::writeJson(R"({"IPSecCfgObject": [{"entryID": 1, "enable": 1}]})");
 *   ... run the code under test ...
 *   EXPECT_EQ("1f4", mdm_fixture::tunnelField(1, "SPI"));
 *   EXPECT_EQ(1u, mdm_fixture::traceCount("set 237 "));
 *
 * Layout of mdm.json: {"IPSecCfgObject": [tunnel, ...], "WanDevObject":
 * [{"name": ..., "WanIpConnObject": [...], "WanPppConnObject": [...]}, ...]};
 * fields by their record names, texts as JSON strings (null or absent:
 * unset), numbers and flags as JSON numbers. "_iid" may be left out: the
 * framework numbers objects 1, 2, ... in file order. A tunnel's instance path
 * is {1, {_iid}}; a connection's {2, {device _iid, connection _iid}}.
 */
#ifndef MDM_FIXTURE_H
#define MDM_FIXTURE_H

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "framework/zor.h"

namespace mdm_fixture {

/* A new empty ZOR_HOME (under /var/run inside the sandbox, else $TMPDIR or
 * /tmp), exported in the environment. Also: ZOR_TRACE set to its trace file,
 * the hooks ZOR_FAIL_LOCK, ZOR_FAIL_SET, ZOR_FAIL_MSG_INIT, ZOR_FAIL_MDM_INIT
 * and ZOR_LOG cleared, their counters reset, and a lock left held by this
 * process released. Returns the folder. */
std::string reset();
/* The current ZOR_HOME and its data-model file. */
std::string home();
std::string mdmPath();

/* Writes mdm.json as given (no check: a test may write a bad file), making
 * ZOR_HOME first when it is missing. */
void writeJson(const std::string &text);
void writeJson(const char *text);
void writeJson(const nlohmann::json &model);
/* The whole mdm.json parsed; null when it is missing or not JSON. */
nlohmann::json readJson();

/* The tunnel with this entryID (first in file order); null when none. */
nlohmann::json tunnel(UINT32 entryID);
/* One field of that tunnel: its JSON value, null when absent or unset. */
nlohmann::json tunnelField(UINT32 entryID, const std::string &field);
/* The tunnel's instance path as a configuration message carries it; depth 0
 * when there is no such tunnel or it has no "_iid" yet. */
InstanceIdStack tunnelPath(UINT32 entryID);

/* Lines of the call trace so far ("lock FUNC", "unlock FUNC", "get OID PATH",
 * "getNext OID PATH", "set OID PATH", "send 0xTYPE DST"; PATH "1.2" or "-"). */
std::vector<std::string> trace();
/* How many trace lines start with `prefix` (e.g. "set 237 ", "lock "). */
size_t traceCount(const std::string &prefix);

} // namespace mdm_fixture

#endif
