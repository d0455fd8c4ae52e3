// File-system helpers of the foundation's core: making and removing directory trees, and the
// last-write time of a file.
//
// Each answers false (or the earliest date) rather than throw when the file system refuses.
// Times are local wall time in DateTime's representation, as DateTime::Now gives it.
// Thread contract: safe for concurrent use (each call is one file-system operation; concurrent
// calls on one path race as the file system lets them).
#pragma once

#include "velcoredata/DateTime.h"
#include "velcoreplatform/TPath.h"
#include "velsys/Export.h"

// Creates `path` and every missing parent. True when the directory exists afterwards.
VELPLATFORM_EXPORT bool CreateDirectory(const TPath& path);
// Removes `path` and, for a directory, everything under it. True when something was removed.
VELPLATFORM_EXPORT bool RemovePathRecursively(const TPath& path);
// Sets the last-write time of `path` to `localTime`. False when the file system refused.
VELPLATFORM_EXPORT bool LastWriteTime(const TPath& path, DateTime localTime);
// The last-write time of `path`; the earliest date when it cannot be read.
VELPLATFORM_EXPORT DateTime LastWriteTime(const TPath& path);
