// FolderSweeper: keeps a directory of entries within a byte budget by deleting the oldest.
//
// A sweeper watches directories whose immediate children are entries (a file or a directory
// tree each). Before a write of `incomingBytes` the owner calls Sweep; when the directory's
// size plus the incoming bytes exceeds the budget, or the directory holds more entries than the
// entry limit allows, Sweep deletes whole entries, least recently written first, until both
// fit. What it deletes first: the entry whose newest last-write time (of the entry itself and
// of every file under it) is the oldest; ties go by name. An owner that refreshes the last-write
// time of an entry's file on every read (the disk external cache does) thereby gets
// least-recently-used deletion.
//
// The size is measured by walking the directory, and the walk is not repeated on every call:
// between walks the sweeper adds the incoming bytes to its last measurement, and walks again
// when that estimate would exceed the budget or when the rescan interval has passed since the
// last walk. Writers that bypass Sweep, and removals by others, are therefore seen late (at the
// next walk); the estimate only errs high for removals, so the budget is never overrun by
// writes that go through Sweep. Entries that vanish during a walk are skipped.
//
// What counts as an entry is the owner's to say (velmora::FolderSweepLayout): the sweeper deletes
// only children of the swept directory that the layout recognises as entries and that are real
// directories or files (never a symbolic link's target), and never anything outside that
// directory. The layout may also name the leftovers of interrupted writers (temporary files and
// directories, in the swept directory or inside an entry): a walk deletes those once they are
// older than the layout's age, and counts them in the size until then.
// Thread contract: safe for concurrent use (Sweep calls are serialised by an internal lock, held
// during the walk and the deletions).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "velcoreplatform/TPath.h"
#include "velsys/Export.h"
#include "velsys/Locks.h"

enum class FolderSweepOrder : int {
    LeastRecentlyWrittenFirst = 0,
};

namespace velmora {
struct FolderSweepLayout {
    // Whether the child of the swept directory named `name` is an entry (may be deleted whole).
    // Empty: every child is.
    std::function<bool(const std::string& name)> isEntry;
    // Whether a child of the swept directory or of an entry named `name` is an interrupted
    // writer's leftover. Empty: nothing is.
    std::function<bool(const std::string& name)> isLeftover;
    // A leftover younger than this may belong to a writer still at work and is kept.
    std::chrono::seconds leftoverAge{600};
};
}  // namespace velmora

class VELPLATFORM_EXPORT FolderSweeper {
public:
    // budgetBytes: the most the directory may hold after a Sweep, the incoming bytes included.
    // maxEntries: the most entries the directory may hold after a Sweep, the one about to be
    // written included (0: no limit on the count). rescanInterval: how long a measurement is
    // trusted before the directory is walked again.
    FolderSweeper(std::uint64_t budgetBytes, FolderSweepOrder order, unsigned int maxEntries,
                  std::chrono::nanoseconds rescanInterval);
    FolderSweeper(const FolderSweeper&) = delete;
    FolderSweeper& operator=(const FolderSweeper&) = delete;

    // Makes room in `directory` for `incomingBytes` more. Returns the number of entries
    // deleted (0 when nothing had to go, or the directory does not exist). An incoming size
    // larger than the whole budget empties the directory.
    std::size_t Sweep(const TPath& directory, std::uint64_t incomingBytes);
    // The same, deleting only what `layout` recognises (see the header comment).
    std::size_t Sweep(const TPath& directory, std::uint64_t incomingBytes,
                      const velmora::FolderSweepLayout& layout);

    std::uint64_t GetBudgetBytes() const { return m_budgetBytes; }
    unsigned int GetMaxEntries() const { return m_maxEntries; }

private:
    struct Measurement {
        std::uint64_t bytes = 0;
        std::uint64_t entries = 0;
        std::chrono::steady_clock::time_point walkedAt;
    };

    // Constant after construction.
    const std::uint64_t m_budgetBytes;
    const FolderSweepOrder m_order;
    const unsigned int m_maxEntries;
    const std::chrono::nanoseconds m_rescanInterval;

    velmora::TMutex m_mutex;
    std::map<std::filesystem::path, Measurement> m_measurements VEL_GUARDED_BY(m_mutex);
};
