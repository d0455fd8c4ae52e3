// File-system helpers of the foundation's core: making, renaming and removing directory trees,
// the last-write time of a file, and files read and written through an open directory.
//
// Each answers false (or the earliest date) rather than throw when the file system refuses.
// Times are local wall time in DateTime's representation, as DateTime::Now gives it.
// Thread contract: safe for concurrent use (each call is one file-system operation; concurrent
// calls on one path race as the file system lets them). RenamePath and TOpenDirectory are this
// platform's own and live in namespace velmora.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "velcoredata/DateTime.h"
#include "velcoreplatform/TPath.h"
#include "velsys/Export.h"

// Creates `path` and every missing parent. True when the directory exists afterwards.
VELPLATFORM_EXPORT bool CreateDirectory(const TPath& path);
// The same, each directory it creates given exactly `mode` (permission bits, whatever the
// process's umask); directories that exist already are left as they are.
VELPLATFORM_EXPORT bool CreateDirectory(const TPath& path, unsigned mode);
// Removes `path` and, for a directory, everything under it. True when something was removed.
VELPLATFORM_EXPORT bool RemovePathRecursively(const TPath& path);
// Sets the last-write time of `path` to `localTime`. False when the file system refused.
VELPLATFORM_EXPORT bool LastWriteTime(const TPath& path, DateTime localTime);
// The last-write time of `path`; the earliest date when it cannot be read.
VELPLATFORM_EXPORT DateTime LastWriteTime(const TPath& path);

namespace velmora {

// Renames `from` to `to` in one step (rename(2)): a file replaces an existing file, a directory
// replaces only a missing or empty one. False when the file system refused.
VELPLATFORM_EXPORT bool RenamePath(const TPath& from, const TPath& to);

// An open directory. Files are named relative to the directory itself rather than to its path,
// so every read and write through one TOpenDirectory reaches the same directory even when its
// path is meanwhile renamed or replaced by another directory.
// Thread contract: const methods are safe for concurrent use.
class VELPLATFORM_EXPORT TOpenDirectory {
public:
    // Opens `path` (symbolic links are not followed); IsOpen is false when it is not a directory.
    explicit TOpenDirectory(const TPath& path);
    // The same for a native path text (cheaper to build on a hot path than a TPath).
    explicit TOpenDirectory(const char* path);
    ~TOpenDirectory();
    TOpenDirectory(const TOpenDirectory&) = delete;
    TOpenDirectory& operator=(const TOpenDirectory&) = delete;

    // What a read does to the file's last-write time: Refresh sets it to now (through the open
    // file, before the read), which lets a sweeper delete the least recently used files first.
    enum class LastWrite { Keep, Refresh };

    bool IsOpen() const { return m_fd >= 0; }
    // Reads the whole regular file `name` into `bytes` (replacing its content). Returns false
    // when there is no such file; raises VelmoraException when it exists but cannot be read.
    // The text form suits short files (keys); the byte form sizes its buffer from the file and
    // applies `lastWrite` before it reads (it reads up to 16 KiB onto the calling thread's stack
    // first, so that a small file needs no question about its size).
    bool ReadFile(const char* name, std::string& bytes) const;
    bool ReadFile(const char* name, std::vector<unsigned char>& bytes,
                  LastWrite lastWrite = LastWrite::Keep) const;
    // Whether a regular file `name` exists.
    bool HasFile(const char* name) const;
    // Creates or truncates file `name` with exactly `mode` (permission bits, whatever the
    // process's umask) and writes `size` bytes to it. On any failure (a full disk, for one)
    // removes what it wrote and raises VelmoraException.
    void WriteFile(const char* name, const void* data, std::size_t size,
                   unsigned mode = 0644) const;
    // Renames file `from` to `to`, both in this directory, replacing `to` in one step.
    bool Rename(const char* from, const char* to) const;
    // Removes file `name`; false when there was none.
    bool RemoveFile(const char* name) const;

private:
    int m_fd = -1;  // Constant after construction.
};

}  // namespace velmora
