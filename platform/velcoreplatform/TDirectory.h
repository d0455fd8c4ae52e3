// TDirectory: the listing of one directory.
//
// A TDirectory reads the entries of its directory (files and subdirectories, not "." or "..")
// when it is made, in the order the file system gives them; a directory that cannot be read
// lists nothing. The listing is a snapshot and may be stale by the time it is used.
// Thread contract: const methods are safe for concurrent use; anything else needs external
// synchronization.
#pragma once

#include <vector>

#include "velcoreplatform/TPath.h"
#include "velsys/Export.h"

class VELPLATFORM_EXPORT TDirectory {
public:
    explicit TDirectory(const TPath& path);

    // Full paths of the entries.
    const std::vector<TPath>& Entries() const { return m_entries; }
    std::vector<TPath>::const_iterator begin() const { return m_entries.begin(); }
    std::vector<TPath>::const_iterator end() const { return m_entries.end(); }

private:
    std::vector<TPath> m_entries;  // Constant after construction.
};
