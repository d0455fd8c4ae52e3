#include "velcoreplatform/TPath.h"

TPath::TPath(const TString& path) : m_path(path.toStdString()) {}

TPath& TPath::Append(const TString& component) {
    m_path /= component.toStdString();
    return *this;
}

TString TPath::ToString() const {
    return TString::fromStdString(m_path.string());
}

bool FileExists(const TPath& path) {
    std::error_code error;
    return std::filesystem::is_regular_file(path.Native(), error);
}

bool DirectoryExists(const TPath& path) {
    std::error_code error;
    return std::filesystem::is_directory(path.Native(), error);
}

bool RemovePath(const TPath& path) {
    std::error_code error;
    return std::filesystem::remove(path.Native(), error);
}
