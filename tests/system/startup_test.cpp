/* The daemon's start: what it prints for its options, the start-up failures
 * and their exit status, and a restart that finds /var/ipsec from a crash. */
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include "system_harness.h"
#include "test_files.h"

namespace {

struct OptionsCase {
    const char *name;
    std::vector<std::string> args;
};

void PrintTo(const OptionsCase &c, std::ostream *os) {
    *os << c.name;
}

class StartupOptions : public ::testing::TestWithParam<OptionsCase> {};

/* The banner, one line per -m, and a daemon that runs and answers messages. */
TEST_P(StartupOptions, PrintsBannerAndEachSharedMemoryId) {
    sys::Daemon d;
    ASSERT_TRUE(d.start(GetParam().args));
    EXPECT_TRUE(d.sync());
    EXPECT_TRUE(d.running());
    d.stop();
    EXPECT_GOLDEN(std::string("system/startup_") + GetParam().name + ".txt",
                  "-- stdout\n" + d.out() + "-- log\n" + d.log());
}

INSTANTIATE_TEST_SUITE_P(
    Options, StartupOptions,
    ::testing::Values(OptionsCase{"no_options", {}}, OptionsCase{"m_42", {"-m", "42"}},
                      OptionsCase{"m_7_m_9", {"-m", "7", "-m", "9"}}, OptionsCase{"m_not_numeric", {"-m", "abc"}},
                      OptionsCase{"m_number_then_text", {"-m", "12ab"}}, OptionsCase{"v_ignored", {"-v", "3"}},
                      OptionsCase{"unknown_option_passed_over", {"-x", "-m", "5", "-m"}}),
    [](const ::testing::TestParamInfo<OptionsCase> &info) { return std::string(info.param.name); });

struct FailureCase {
    const char *name;
    const char *env;   /* NAME=VALUE set for the daemon, or null */
    const char *setup; /* shell command run before the start, or null */
};

void PrintTo(const FailureCase &c, std::ostream *os) {
    *os << c.name;
}

class StartupFailure : public ::testing::TestWithParam<FailureCase> {};

/* Each failure ends the process with status 0 and one error line. */
TEST_P(StartupFailure, EndsWithStatusZeroAndOneLine) {
    const FailureCase &c = GetParam();
    if (c.setup) {
        ASSERT_EQ(0, sys::run(c.setup).status);
    }
    if (c.env)
        putenv(const_cast<char *>(c.env));
    sys::Daemon d;
    ASSERT_TRUE(d.start({}, false));
    int status = d.waitExit();
    EXPECT_GOLDEN(std::string("system/startup_fails_") + c.name + ".txt",
                  "-- exit status " + std::to_string(status) + "\n-- stdout\n" + d.out() + "-- log\n" + d.log());
}

INSTANTIATE_TEST_SUITE_P(Failures, StartupFailure,
                         ::testing::Values(FailureCase{"messaging", "ZOR_FAIL_MSG_INIT=1", nullptr},
                                           FailureCase{"data_model", "ZOR_FAIL_MDM_INIT=1", nullptr},
                                           FailureCase{"var_ipsec_is_a_file", nullptr, "touch /var/ipsec"},
                                           FailureCase{"var_ipsec_is_a_symlink", nullptr,
                                                       "mkdir -p /var/tmp/elsewhere && "
                                                       "ln -s /var/tmp/elsewhere /var/ipsec"}),
                         [](const ::testing::TestParamInfo<FailureCase> &info) {
                             return std::string(info.param.name);
                         });

/* A daemon restarted after a crash finds /var/ipsec and its files, keeps
 * them, closes the directory to group and others, and works as before. */
TEST(Restart, ReusesWorkingDirectoryLeftBehind) {
    ASSERT_EQ(0,
              sys::run("mkdir -p /var/ipsec && chmod 0777 /var/ipsec && echo 'flush;' >/var/ipsec/setkey.conf").status);
    sys::Daemon d;
    ASSERT_TRUE(d.start());
    EXPECT_TRUE(d.sync());
    EXPECT_TRUE(d.running());
    EXPECT_EQ(0755, test_files::mode("/var/ipsec"));
    EXPECT_EQ("flush;\n", test_files::read("/var/ipsec/setkey.conf"));
    EXPECT_EQ("", d.log());
}

/* The same daemon killed and started again in place: the second start is not refused. */
TEST(Restart, SecondStartAfterKill) {
    sys::Daemon d;
    ASSERT_TRUE(d.start({"-m", "1"}));
    d.stop();
    ASSERT_TRUE(d.start({"-m", "2"}));
    EXPECT_TRUE(d.sync());
    EXPECT_TRUE(d.running());
    EXPECT_GOLDEN("system/restart_after_kill.txt", "-- stdout\n" + d.out() + "-- log\n" + d.log());
}

} // namespace
