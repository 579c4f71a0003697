/* File helpers for tests: read, write, and compare with golden files byte for byte. */
#ifndef TEST_FILES_H
#define TEST_FILES_H

#include <string>

namespace test_files {
/* The whole file; `ok` (when given) tells whether it could be read. */
std::string read(const std::string &path, bool *ok = nullptr);
void write(const std::string &path, const std::string &content);
/* Mode bits of a file (st_mode & 07777), or -1 when it does not exist. */
int mode(const std::string &path);
/* Path of a golden file under tests/golden. */
std::string goldenPath(const std::string &name);
/* Compares `actual` with the golden file byte for byte; with IPSEC_UPDATE_GOLDEN=1
 * in the environment the golden file is rewritten instead. Returns an empty
 * text when equal, else a readable description of the first difference. */
std::string diffGolden(const std::string &name, const std::string &actual);
} // namespace test_files

/* EXPECT that `actual` equals golden file `name`. */
#define EXPECT_GOLDEN(name, actual) EXPECT_EQ("", test_files::diffGolden((name), (actual)))

#endif
