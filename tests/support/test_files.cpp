/* File helpers for tests. */
#include "test_files.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

namespace test_files {

std::string read(const std::string &path, bool *ok) {
    std::string out;
    FILE *f = fopen(path.c_str(), "rb");
    if (ok)
        *ok = (f != nullptr);
    if (!f)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
        out.append(buf, n);
    fclose(f);
    return out;
}

void write(const std::string &path, const std::string &content) {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        return;
    fwrite(content.data(), 1, content.size(), f);
    fclose(f);
}

int mode(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return -1;
    return static_cast<int>(st.st_mode & 07777);
}

std::string goldenPath(const std::string &name) { return std::string(IPSEC_GOLDEN_DIR) + "/" + name; }

std::string diffGolden(const std::string &name, const std::string &actual) {
    const std::string path = goldenPath(name);
    const char *update = getenv("IPSEC_UPDATE_GOLDEN");
    if (update && update[0] == '1') {
        write(path, actual);
        return "";
    }
    bool ok = false;
    std::string expected = read(path, &ok);
    if (!ok)
        return "golden file missing: " + path;
    if (expected == actual)
        return "";
    size_t i = 0;
    while (i < expected.size() && i < actual.size() && expected[i] == actual[i])
        i++;
    size_t line = 1;
    for (size_t k = 0; k < i; k++)
        line += (expected[k] == '\n');
    return name + ": first difference at byte " + std::to_string(i) + " (line " + std::to_string(line) +
           ")\n--- expected\n" + expected + "\n--- actual\n" + actual;
}

} // namespace test_files
