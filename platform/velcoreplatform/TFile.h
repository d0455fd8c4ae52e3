// TFile: an open file, and whole-file reads and writes.
//
// A TFile opens its file in the constructor with a combination of OpenMode flags and closes it
// in Close or the destructor. The static helpers read or write a whole file in one call. Every
// failure to open, read or write raises VelmoraException carrying the path.
// Thread contract: not thread-safe: use from one thread at a time (the static helpers are safe
// for concurrent use on different files).
#pragma once

#include <cstddef>
#include <cstdio>
#include <vector>

#include "velcoreplatform/TPath.h"
#include "velsys/Export.h"

class VELPLATFORM_EXPORT TFile {
public:
    enum OpenMode : int { OpenRead = 1, OpenWrite = 2, OpenAppend = 4, OpenTruncate = 8 };

    // Opens `path`. OpenWrite creates the file when missing; OpenWrite|OpenTruncate (10) empties
    // it; OpenAppend writes at its end. Raises VelmoraException when the file cannot be opened.
    TFile(const TPath& path, int openMode);
    ~TFile();
    TFile(const TFile&) = delete;
    TFile& operator=(const TFile&) = delete;

    // Writes `size` bytes; returns how many were written (fewer only on failure).
    std::size_t Write(const void* data, std::size_t size);
    void Flush();
    void Close();

    // Writes `bytes` as the whole content of `path` (created or truncated).
    static void WriteUnsignedBinaryFile(const TPath& path, const std::vector<unsigned char>& bytes);
    // The whole content of `path`.
    static std::vector<unsigned char> LoadUnsignedBinaryFile(const TPath& path);

private:
    TPath m_path;
    std::FILE* m_file = nullptr;
};
