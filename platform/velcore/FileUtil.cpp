#include "velcore/FileUtil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "velsys/Exceptions.h"

using velmora::TOpenDirectory;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono;

// Local time minus UTC, at this moment.
DateTimeSpan LocalOffset() {
    return DateTime::Now() - DateTime::UtcNow();
}

}  // namespace

bool CreateDirectory(const TPath& path) {
    std::error_code error;
    fs::create_directories(path.Native(), error);
    return fs::is_directory(path.Native(), error);
}

bool CreateDirectory(const TPath& path, unsigned mode) {
    const fs::path target = path.Native();
    std::error_code error;
    if (fs::is_directory(target, error)) return true;
    if (target.has_parent_path() && target.parent_path() != target &&
        !CreateDirectory(TPath(target.parent_path()), mode))
        return false;
    // mkdir's mode is cut by the umask: the intended mode is set afterwards, on the directory
    // this call made (a directory that appeared meanwhile belongs to whoever made it).
    if (::mkdir(target.c_str(), static_cast<mode_t>(mode)) == 0)
        return ::chmod(target.c_str(), static_cast<mode_t>(mode)) == 0;
    return errno == EEXIST && fs::is_directory(target, error);
}

bool RemovePathRecursively(const TPath& path) {
    std::error_code error;
    const auto removed = fs::remove_all(path.Native(), error);
    return !error && removed != static_cast<std::uintmax_t>(-1) && removed > 0;
}

bool LastWriteTime(const TPath& path, DateTime localTime) {
    // The offset is rounded to whole seconds by DateTime::Now, so UTC comes back exactly.
    const DateTime utc = localTime - LocalOffset();
    const auto sinceUnix = nanoseconds(
        (std::int64_t(utc.GetRepresentation()) - std::int64_t(DateTime::kUnixEpochTicks)) * 100);
    const auto sys = system_clock::time_point(duration_cast<system_clock::duration>(sinceUnix));
    std::error_code error;
    fs::last_write_time(path.Native(), file_clock::from_sys(sys), error);
    return !error;
}

DateTime LastWriteTime(const TPath& path) {
    std::error_code error;
    const auto fileTime = fs::last_write_time(path.Native(), error);
    if (error) return DateTime();
    const auto sinceUnix =
        duration_cast<nanoseconds>(file_clock::to_sys(fileTime).time_since_epoch()).count();
    const auto ticks = std::int64_t(DateTime::kUnixEpochTicks) + sinceUnix / 100;
    if (ticks < 0) return DateTime();
    return DateTime::FromValue(std::uint64_t(ticks)) + LocalOffset();
}

bool velmora::RenamePath(const TPath& from, const TPath& to) {
    return ::rename(from.Native().c_str(), to.Native().c_str()) == 0;
}

// ---- TOpenDirectory ----------------------------------------------------------------------

namespace {

// Keys and other short texts: one read of this many bytes finds their end.
constexpr std::size_t kShortFileFirstRead = 256;

[[noreturn]] void FailIn(const char* what, const char* name) {
    throw VelmoraException(std::string(what) + " '" + name + "': " + std::strerror(errno));
}

// Reads `fd` to its end into `bytes`; false on a read error. The first read asks for `first`
// bytes; once at least `minimum` bytes have come, a read that comes back short marks the end (a
// regular file's read is short only there), so a file that fits takes a single read and no
// second one to find its end. The buffer grows only for a longer file.
template <class Bytes>
bool ReadAll(int fd, Bytes& bytes, std::size_t first, std::size_t minimum, std::size_t done = 0) {
    bytes.resize(first);
    for (;;) {
        if (done == bytes.size()) bytes.resize(done + done / 2 + 4096);
        const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        done += std::size_t(n);
        if (done >= minimum && done < bytes.size()) break;
    }
    bytes.resize(done);
    return true;
}

// Files up to this size are read onto the stack first and copied into a buffer of their size.
constexpr std::size_t kStackRead = 16384;

// Reads `fd` whole into `bytes`, sized to the file: a file shorter than kStackRead takes one
// read, onto the stack, and no question about its size (a system call that costs as much as
// copying a few kilobytes); a longer one asks the file system for its size after that read and
// reads the rest into a buffer of that size.
template <class Bytes>
bool ReadSized(int fd, Bytes& bytes) {
    using Unit = typename Bytes::value_type;
    Unit first[kStackRead];
    ssize_t n;
    do n = ::read(fd, first, sizeof first);
    while (n < 0 && errno == EINTR);
    if (n < 0) return false;
    if (std::size_t(n) < sizeof first) {
        bytes.assign(first, first + n);
        return true;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) return false;
    const std::size_t size = std::max(std::size_t(info.st_size), sizeof first);
    bytes.resize(size + 1);
    std::memcpy(bytes.data(), first, sizeof first);
    return ReadAll(fd, bytes, size + 1, size, sizeof first);
}

// Reads file `name` of directory `dirFd` whole. With `sized` the buffer fits the file (see
// ReadSized); short files such as keys are read into a buffer of a fixed first size. With `refresh`
// (sized files only) the last-write time is set to now through the open file before it is read.
template <class Bytes>
bool ReadFileAt(int dirFd, const char* name, Bytes& bytes, bool sized, bool refresh) {
    // No access-time update: nothing here reads it, and each update is one more inode write
    // (after a refresh of the last-write time, relatime would make it on every read). Only the
    // file's owner may ask for that; anyone else reads as usual.
    int fd = ::openat(dirFd, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOATIME);
    if (fd < 0 && errno == EPERM) fd = ::openat(dirFd, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP) return false;
        FailIn("Cannot open file", name);
    }
    bool ok = true;
    if (sized) {
        if (refresh) ::futimens(fd, nullptr);  // best effort
        ok = ReadSized(fd, bytes);
    } else {
        ok = ReadAll(fd, bytes, kShortFileFirstRead, 0);
    }
    const int error = errno;
    ::close(fd);
    errno = error;
    if (!ok) FailIn("Cannot read file", name);
    return true;
}

}  // namespace

TOpenDirectory::TOpenDirectory(const TPath& path) : TOpenDirectory(path.Native().c_str()) {}

TOpenDirectory::TOpenDirectory(const char* path)
    : m_fd(::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW)) {}

TOpenDirectory::~TOpenDirectory() {
    if (m_fd >= 0) ::close(m_fd);
}

bool TOpenDirectory::ReadFile(const char* name, std::string& bytes) const {
    return ReadFileAt(m_fd, name, bytes, false, false);
}

bool TOpenDirectory::ReadFile(const char* name, std::vector<unsigned char>& bytes,
                              LastWrite lastWrite) const {
    return ReadFileAt(m_fd, name, bytes, true, lastWrite == LastWrite::Refresh);
}

bool TOpenDirectory::HasFile(const char* name) const {
    struct stat info {};
    return ::fstatat(m_fd, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode);
}

void TOpenDirectory::WriteFile(const char* name, const void* data, std::size_t size,
                               unsigned mode) const {
    const int fd = ::openat(m_fd, name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW,
                            static_cast<mode_t>(mode));
    if (fd < 0) FailIn("Cannot create file", name);
    // The mode given to openat is cut by the umask; the file gets exactly `mode`.
    if (::fchmod(fd, static_cast<mode_t>(mode)) != 0) {
        const int error = errno;
        ::close(fd);
        ::unlinkat(m_fd, name, 0);
        errno = error;
        FailIn("Cannot set the mode of file", name);
    }
    const auto* bytes = static_cast<const char*>(data);
    std::size_t done = 0;
    bool ok = true;
    while (ok && done < size) {
        const ssize_t n = ::write(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += std::size_t(n);
    }
    // close reports late write errors of some file systems.
    ok = ::close(fd) == 0 && ok;
    if (!ok) {
        const int error = errno;
        ::unlinkat(m_fd, name, 0);
        errno = error;
        FailIn("Cannot write file", name);
    }
}

bool TOpenDirectory::Rename(const char* from, const char* to) const {
    return ::renameat(m_fd, from, m_fd, to) == 0;
}

bool TOpenDirectory::RemoveFile(const char* name) const {
    return ::unlinkat(m_fd, name, 0) == 0;
}
