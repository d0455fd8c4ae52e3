#include "velcoreplatform/TFile.h"

#include <string>

#include "velsys/Exceptions.h"

namespace {

[[noreturn]] void Fail(const char* what, const TPath& path) {
    throw VelmoraException(std::string(what) + " '" + path.Native().string() + "'");
}

}  // namespace

TFile::TFile(const TPath& path, int openMode) : m_path(path) {
    const char* mode = "rb";
    if (openMode & OpenAppend)
        mode = (openMode & OpenRead) ? "a+b" : "ab";
    else if (openMode & OpenTruncate)
        mode = (openMode & OpenRead) ? "w+b" : "wb";
    else if (openMode & OpenWrite)
        mode = std::filesystem::exists(path.Native()) ? "r+b" : "w+b";
    m_file = std::fopen(path.Native().c_str(), mode);
    if (!m_file) Fail("Cannot open file", path);
}

TFile::~TFile() {
    Close();
}

std::size_t TFile::Write(const void* data, std::size_t size) {
    if (!m_file) Fail("File is closed", m_path);
    if (size == 0) return 0;
    return std::fwrite(data, 1, size, m_file);
}

void TFile::Flush() {
    if (m_file && std::fflush(m_file) != 0) Fail("Cannot flush file", m_path);
}

void TFile::Close() {
    if (m_file) {
        std::fclose(m_file);
        m_file = nullptr;
    }
}

void TFile::WriteUnsignedBinaryFile(const TPath& path, const std::vector<unsigned char>& bytes) {
    TFile file(path, OpenWrite | OpenTruncate);
    if (file.Write(bytes.data(), bytes.size()) != bytes.size()) Fail("Cannot write file", path);
    if (std::fclose(file.m_file) != 0) {
        file.m_file = nullptr;
        Fail("Cannot write file", path);
    }
    file.m_file = nullptr;
}

std::vector<unsigned char> TFile::LoadUnsignedBinaryFile(const TPath& path) {
    TFile file(path, OpenRead);
    std::vector<unsigned char> bytes;
    unsigned char buffer[65536];
    for (;;) {
        const std::size_t n = std::fread(buffer, 1, sizeof buffer, file.m_file);
        bytes.insert(bytes.end(), buffer, buffer + n);
        if (n < sizeof buffer) break;
    }
    if (std::ferror(file.m_file)) Fail("Cannot read file", path);
    return bytes;
}
