// Fuzz target: what a disk cache finds in its directory. Each input builds a fresh namespace
// directory in a scratch directory: entry directories (named by a key's hash, by other digits,
// with a writer's temporary prefix, or anything else) holding ".key" and ".bin" files of any
// content, temporaries, directories where files belong, files where directories belong, and
// symbolic links to a file outside the cache. Then, through DiskExternalCache:
//  - a load of the key hits exactly when its entry is a real directory whose ".key" is a
//    regular file holding that key and whose ".bin" is a regular file, and returns ".bin";
//  - every key listed was written to the ".key" of an entry named by digits (never a
//    temporary);
//  - a store over whatever is there is then loaded back and listed.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "caching/DiskExternalCache.h"
#include "caching/GuardedExecution.h"

using namespace velmora::caching;
namespace fs = std::filesystem;

namespace {

const std::vector<std::string> kKeys{"fz-key", "\xd0\xba\xd0\xbb\xd1\x8e\xd1\x87 \xc3\xbc", "k"};
const char* const kLeftoverPrefixes[] = {".tmp-", ".new-", ".old-"};

// A scratch directory, removed with everything in it; in memory when the machine has a tmpfs
// there, as the cache's writes wait for the disk otherwise. Not veltest::TempDir: a fuzz target
// links no test support (it runs without GoogleTest).
class Scratch {
public:
    Scratch() {
        std::error_code error;
        const fs::path base =
            fs::is_directory("/dev/shm", error) ? fs::path("/dev/shm") : fs::temp_directory_path();
        std::string pattern = (base / "velfuzz-disk-XXXXXX").string();
        VELFUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
        m_path = pattern;
    }
    ~Scratch() {
        std::error_code ignored;
        fs::remove_all(m_path, ignored);
    }
    const fs::path& Path() const { return m_path; }

private:
    fs::path m_path;
};

void WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool IsRegularFile(const fs::path& path) {
    std::error_code error;
    return fs::symlink_status(path, error).type() == fs::file_type::regular;
}

std::optional<std::string> ReadRegular(const fs::path& path) {
    if (!IsRegularFile(path)) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool IsDigits(const std::string& name) {
    return !name.empty() && name.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool quiet = (velfuzz::QuietHost(), true);
    (void)quiet;
    if (size > 8 * 1024) return -1;
    FuzzedDataProvider in(data, size);
    const std::string keyText = kKeys[in.ConsumeIntegralInRange<std::size_t>(0, kKeys.size() - 1)];
    const TString key = TString::fromStdString(keyText);
    const std::string keyHash = ExternalCacheKeyHash(key).toStdString();

    Scratch scratch;
    const fs::path outside = scratch.Path() / "outside";
    WriteFile(outside, "outside the cache");
    const fs::path cacheDir = scratch.Path() / "ExternalCacheV1" / "fz";
    fs::create_directories(cacheDir);
    std::error_code error;

    const int steps = in.ConsumeIntegralInRange(0, 10);
    for (int i = 0; i < steps && in.remaining_bytes() > 0; ++i) {
        std::string name;
        switch (in.ConsumeIntegralInRange(0, 3)) {
            case 0:
                name = keyHash;
                break;
            case 1:
                name = std::to_string(in.ConsumeIntegral<std::uint32_t>());
                break;
            case 2:
                name = kLeftoverPrefixes[in.ConsumeIntegralInRange(0, 2)] +
                       std::to_string(in.ConsumeIntegral<std::uint16_t>());
                break;
            default:
                name = in.ConsumeRandomLengthString(12);
                break;
        }
        if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
            name.find('\0') != std::string::npos)
            continue;
        const fs::path entry = cacheDir / name;
        if (in.ConsumeIntegralInRange(0, 8) == 0) {  // the entry itself a file, or a link
            fs::remove_all(entry, error);
            if (in.ConsumeBool())
                WriteFile(entry, in.ConsumeRandomLengthString(16));
            else
                fs::create_symlink(outside, entry, error);
            continue;
        }
        if (fs::symlink_status(entry, error).type() != fs::file_type::directory) {
            fs::remove_all(entry, error);
            fs::create_directory(entry, error);
        }
        const char* const files[] = {".key", ".bin", ".tmp-1"};
        const fs::path file = entry / files[in.ConsumeIntegralInRange(0, 2)];
        fs::remove_all(file, error);
        switch (in.ConsumeIntegralInRange(0, 3)) {
            case 0:
                WriteFile(file, in.ConsumeRandomLengthString(64));
                break;
            case 1:
                WriteFile(file, keyText);
                break;
            case 2:
                fs::create_directory(file, error);
                break;
            default:
                fs::create_symlink(outside, file, error);
                break;
        }
    }

    // What a load of the key should find, from the directory as built.
    const fs::path entry = cacheDir / keyHash;
    std::optional<std::string> expected;
    if (fs::symlink_status(entry, error).type() == fs::file_type::directory &&
        ReadRegular(entry / ".key") == keyText)
        expected = ReadRegular(entry / ".bin");

    DiskExternalCache cache(TString("fz"), TPath(TString::fromStdString(cacheDir.string())),
                            nullptr);
    const ExternalBytesPtr loaded = cache.LoadOnThisThread(key);
    VELFUZZ_CHECK((loaded != nullptr) == expected.has_value());
    if (loaded) VELFUZZ_CHECK(std::string(loaded->begin(), loaded->end()) == *expected);

    for (const TString& listed : cache.TryGetAllKeys()) {
        bool found = false;
        for (const auto& item : fs::directory_iterator(cacheDir, error)) {
            const std::string name = item.path().filename().string();
            const auto stored = ReadRegular(item.path() / ".key");
            if (IsDigits(name) && stored && TString::fromStdString(*stored) == listed) found = true;
        }
        VELFUZZ_CHECK(found);
    }

    const std::string value = "stored over the fuzzed directory";
    cache.TryStore(key, std::make_shared<ExternalBytes>(value.begin(), value.end()), 100000, -1)
        .Get();
    const ExternalBytesPtr reloaded = cache.LoadOnThisThread(key);
    VELFUZZ_CHECK(reloaded && std::string(reloaded->begin(), reloaded->end()) == value);
    bool listed = false;
    for (const TString& k : cache.TryGetAllKeys()) listed = listed || k == key;
    VELFUZZ_CHECK(listed);
    return 0;
}
