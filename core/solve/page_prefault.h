// Mapping pages in ahead of their first write. A freshly allocated cache is mapped by
// the system one 4 KiB page at a time as columns are first written; asking for a large
// range at once costs much less than a page fault per page taken in the middle of the
// kernel column loops.
#pragma once

#include <cstddef>

namespace krr {

// Maps the whole pages inside [begin, begin + bytes) for writing, keeping their contents
// (zero for fresh memory). Returns false where the system offers no such request or
// refuses it; the pages are then mapped on first touch as before, so nothing else changes.
bool prefault_for_write(void* begin, std::size_t bytes);

}  // namespace krr
