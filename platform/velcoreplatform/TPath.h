// TPath: a file-system path, and the foundation's questions about one.
//
// A thin value class over std::filesystem::path: it is built from text, grows one component at
// a time with Append, and converts back to TString. FileExists, DirectoryExists and RemovePath
// answer false rather than throw when the file system refuses. Nothing here caches what it saw.
// Thread contract: const methods are safe for concurrent use; anything else needs external
// synchronization.
#pragma once

#include <filesystem>

#include "velcoreplatform/TString.h"
#include "velsys/Export.h"

class VELPLATFORM_EXPORT TPath {
public:
    TPath() = default;
    explicit TPath(const TString& path);
    explicit TPath(std::filesystem::path path) : m_path(std::move(path)) {}

    // Appends `component` as one path component ("a" + "b" gives "a/b").
    TPath& Append(const TString& component);
    TPath operator/(const TString& component) const { return TPath(*this).Append(component); }

    TString ToString() const;
    const std::filesystem::path& Native() const { return m_path; }

    friend bool operator==(const TPath& a, const TPath& b) { return a.m_path == b.m_path; }

private:
    std::filesystem::path m_path;
};

// Whether `path` names an existing regular file (false on any error).
VELPLATFORM_EXPORT bool FileExists(const TPath& path);
// Whether `path` names an existing directory (false on any error).
VELPLATFORM_EXPORT bool DirectoryExists(const TPath& path);
// Removes a file or an empty directory. Returns true when it removed something; false when
// there was nothing, the directory was not empty, or the file system refused.
VELPLATFORM_EXPORT bool RemovePath(const TPath& path);
