/* Whole-or-nothing writes of the files in the working directory. */
#include "render/ipsec_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "framework/zor.h"

namespace {

/* Every write is checked: the first error is kept for the commit's line. */
ssize_t sinkWrite(void *cookie, const char *buf, size_t size) {
    IpsecFile::Sink *sink = static_cast<IpsecFile::Sink *>(cookie);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(sink->fd, buf + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (!sink->err)
                sink->err = n < 0 ? errno : EIO;
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

int sinkClose(void *cookie) {
    IpsecFile::Sink *sink = static_cast<IpsecFile::Sink *>(cookie);
    const int rc = close(sink->fd);
    if (rc != 0 && !sink->err)
        sink->err = errno;
    sink->fd = -1;
    return rc;
}

} // namespace

std::string ipsec_tempPath(const char *path) {
    return std::string(path) + ".new";
}

IpsecFile::IpsecFile(const char *path, IpsecFileMode mode, const char *func)
    : path_(path), temp_(ipsec_tempPath(path)), mode_(mode), func_(func) {}

IpsecFile::~IpsecFile() {
    discard();
}

bool IpsecFile::open(int line) {
    discard();
    /* A temporary left by a crash may have any mode: it is never reused. */
    unlink(temp_.c_str());
    const bool secret = (mode_ == IPSEC_FILE_PRIVATE);
    const int fd = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, secret ? 0600 : 0666);
    if (fd < 0)
        return fail(true, errno, line);
    sink_ = Sink{fd, 0};
    const cookie_io_functions_t io = {nullptr, sinkWrite, nullptr, sinkClose};
    if ((secret && fchmod(fd, 0600) != 0) || !(f_ = fopencookie(&sink_, "w", io))) {
        const int err = errno;
        close(fd);
        return fail(true, err, line);
    }
    return true;
}

bool IpsecFile::commit(int line) {
    if (!f_)
        return false;
    const bool flushed = fflush(f_) == 0 && !ferror(f_);
    int err = sink_.err;
    if (!err && !flushed)
        err = EIO;
    if (!err && fsync(sink_.fd) != 0)
        err = errno;
    fclose(f_);
    f_ = nullptr;
    if (!err)
        err = sink_.err; /* the close's own error */
    if (!err && rename(temp_.c_str(), path_) != 0)
        err = errno;
    return err ? fail(false, err, line) : true;
}

void IpsecFile::discard() {
    if (!f_)
        return;
    fclose(f_);
    f_ = nullptr;
    unlink(temp_.c_str());
}

bool IpsecFile::fail(bool creating, int err, int line) {
    unlink(temp_.c_str());
    if (creating)
        log_log(ZOR_LOG_ERR, func_, line, "ipsec cannot create %s: %s\n", path_, strerror(err));
    else
        log_log(ZOR_LOG_ERR, func_, line, "ipsec cannot write %s: %s\n", path_, strerror(err));
    return false;
}
