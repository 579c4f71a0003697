/*
 * Files in the working directory written whole or not at all: the text goes
 * to a temporary name beside the file and replaces it, by rename, only once
 * every write, the flush to disk and the close have succeeded. A failure, a
 * crash or a power cut never leaves a cut file: the previous one stays until
 * the new one is whole.
 */
#ifndef IPSEC_FILE_H
#define IPSEC_FILE_H

#include <cstdio>
#include <string>

/* Who may read a file: every key file (setkey.conf, psk.txt, tmp_delete.conf)
 * is private, mode 0600 from its creation on; a shared one is created as the
 * umask leaves mode 0666, as fopen would. */
enum IpsecFileMode { IPSEC_FILE_SHARED, IPSEC_FILE_PRIVATE };

/* The temporary name of `path` while it is being written. */
std::string ipsec_tempPath(const char *path);

class IpsecFile {
  public:
    IpsecFile(const char *path, IpsecFileMode mode, const char *func);
    IpsecFile(const IpsecFile &) = delete;
    IpsecFile &operator=(const IpsecFile &) = delete;
    /* An uncommitted file is discarded: its temporary is removed. */
    ~IpsecFile();

    /* Creates the temporary. False, with a level-3 line naming the file and
     * the error, when it cannot be created. The lines of open and commit are
     * logged as the constructor's `func` at `line`, the caller's by default. */
    bool open(int line = __builtin_LINE());
    FILE *get() const { return f_; }
    /* Flushes, syncs, closes and renames into place. False, with a level-3
     * line naming the file and the error, on any failure; the temporary is
     * then removed and the previous file kept. */
    bool commit(int line = __builtin_LINE());

    /* What the stream writes through: the descriptor and the first error of
     * any write, which stdio itself does not keep. */
    struct Sink {
        int fd = -1;
        int err = 0;
    };

  private:
    void discard();
    /* Removes the temporary and logs the failure: false, for the caller to return. */
    bool fail(bool creating, int err, int line);

    const char *path_;
    std::string temp_;
    IpsecFileMode mode_;
    const char *func_;
    Sink sink_;
    FILE *f_ = nullptr;
};

#endif
