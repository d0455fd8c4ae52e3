#include "velcoreplatform/TDirectory.h"

TDirectory::TDirectory(const TPath& path) {
    std::error_code error;
    std::filesystem::directory_iterator it(path.Native(), error), end;
    for (; !error && it != end; it.increment(error)) m_entries.emplace_back(it->path());
}
