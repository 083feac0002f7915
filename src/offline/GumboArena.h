#pragma once

#include <cstddef>
#include <cstdint>

struct GumboInternalOptions;

namespace pagestow::offline {

// Memory for one gumbo parse. Small blocks (the nodes, attributes, vectors and strings that make
// most of a tree) come from large chunks, and a freed one is kept for the next block of its size;
// larger blocks are the C library's. A parse then costs a few calls to malloc instead of several
// for every element, and the whole tree goes at once with the arena (no walk of the tree, however
// deep it nests). Not thread-safe: one parse at a time.
class GumboArena {
public:
    GumboArena() = default;
    ~GumboArena();
    GumboArena(const GumboArena&) = delete;
    GumboArena& operator=(const GumboArena&) = delete;

    // Null when the C library has no memory left.
    void* Allocate(std::size_t size);
    void Free(void* block);
    // Bytes taken from the C library and not yet given back: the chunks and the live large blocks.
    std::uint64_t HeldBytes() const { return m_held; }
    // How much HeldBytes would grow by if a block of size were allocated now.
    std::uint64_t GrowthFor(std::size_t size) const;

    // Points options' allocator at this arena.
    void Use(GumboInternalOptions& options);

private:
    struct Chunk;
    struct Large;
    struct FreeBlock;

    void* AllocateLarge(std::size_t size);

    static constexpr std::size_t kGrain = 16;
    static constexpr std::size_t kClasses = 64; // small blocks up to 1 KiB
    FreeBlock* m_free[kClasses + 1] = {};
    Chunk* m_chunks = nullptr;
    char* m_next = nullptr;
    char* m_end = nullptr;
    std::size_t m_chunkBytes = 16 * 1024;
    Large* m_large = nullptr;
    std::uint64_t m_held = 0;
};

} // namespace pagestow::offline
