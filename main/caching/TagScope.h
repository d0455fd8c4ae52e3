// The tags a load running on this thread collects (TagLoad), private to the library. Loads nest
// (a loader that reads other read-through caches): a scope's tags also reach the scope around
// it as it ends, and a value read inside a load adds its tags to that load's, so that a result
// carries the tags of everything it was built from.
// Threads: a scope belongs to the thread that made it; nothing here is shared.
#pragma once

#include <string>
#include <vector>

#include "caching/CacheTags.h"

namespace velmora::caching::readthrough {

class TagScope;
// The innermost scope of each thread. Initial-exec: a memory hit reads it with one load from
// the thread's block, no call (the library's static TLS is a pointer).
extern constinit thread_local TagScope* t_tagScope __attribute__((tls_model("initial-exec")));

class TagScope {
public:
    TagScope();
    // Hands this scope's tags to the enclosing one, if any.
    ~TagScope();
    TagScope(const TagScope&) = delete;
    TagScope& operator=(const TagScope&) = delete;

    // The tags collected so far, sorted, each once.
    std::vector<std::string> Tags();
    // The innermost scope of this thread; null outside a load.
    static TagScope* Current() { return t_tagScope; }
    // Adds the tags of a value read by the load running on this thread (none: nothing to do).
    static void NoteRead(const CacheTagSet* tags) {
        if (tags && Current()) Current()->Add(tags->names);
    }
    void Add(std::string tag) { m_tags.push_back(std::move(tag)); }
    void Add(const std::vector<std::string>& tags) {
        m_tags.insert(m_tags.end(), tags.begin(), tags.end());
    }

private:
    std::vector<std::string> m_tags;
    TagScope* const m_outer;
};

// Sorts and removes repeats; raises VelmoraException naming `who` for a tag refused by name.
std::vector<std::string> CheckedTags(std::vector<std::string> tags, const std::string& who);

}  // namespace velmora::caching::readthrough
