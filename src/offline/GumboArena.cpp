#include "offline/GumboArena.h"

#include <gumbo.h>

#include <algorithm>
#include <cstdlib>

namespace pagestow::offline {

// Every block starts with a header whose last word tells its kind: the size class of a small block,
// 0 for a large one. Headers are 16 or 32 bytes and chunks start on 16, so every block is aligned
// as malloc's are.
struct alignas(16) GumboArena::Chunk {
    Chunk* next;
};

struct alignas(16) GumboArena::Large {
    Large* previous;
    Large* next;
    std::size_t size;
    std::size_t tag;
};

struct GumboArena::FreeBlock {
    FreeBlock* next;
};

namespace {
    constexpr std::size_t kSmallHeader = 16;
    constexpr std::size_t kLargestChunk = std::size_t(1) << 20;

    std::size_t& TagOf(void* block)
    {
        return *(static_cast<std::size_t*>(block) - 1);
    }

    // The size class of a block of size: its size in grains, at least one.
    std::size_t SizeClassOf(std::size_t size, std::size_t grain)
    {
        return std::max<std::size_t>(1, (size + grain - 1) / grain);
    }
}

GumboArena::~GumboArena()
{
    for (Chunk* chunk = m_chunks; chunk;) {
        Chunk* next = chunk->next;
        std::free(chunk);
        chunk = next;
    }
    for (Large* block = m_large; block;) {
        Large* next = block->next;
        std::free(block);
        block = next;
    }
}

std::uint64_t GumboArena::GrowthFor(std::size_t size) const
{
    std::size_t sizeClass = SizeClassOf(size, kGrain);
    if (sizeClass > kClasses)
        return std::uint64_t(sizeof(Large)) + size;
    std::size_t need = kSmallHeader + sizeClass * kGrain;
    if (m_free[sizeClass] || std::size_t(m_end - m_next) >= need)
        return 0;
    return std::max(m_chunkBytes, sizeof(Chunk) + need);
}

void* GumboArena::Allocate(std::size_t size)
{
    std::size_t sizeClass = SizeClassOf(size, kGrain);
    if (sizeClass > kClasses)
        return AllocateLarge(size);
    if (FreeBlock* reused = m_free[sizeClass]) {
        m_free[sizeClass] = reused->next;
        return reused;
    }
    std::size_t need = kSmallHeader + sizeClass * kGrain;
    if (std::size_t(m_end - m_next) < need) {
        std::size_t bytes = std::max(m_chunkBytes, sizeof(Chunk) + need);
        auto* chunk = static_cast<Chunk*>(std::malloc(bytes));
        if (!chunk)
            return nullptr;
        chunk->next = m_chunks;
        m_chunks = chunk;
        m_held += bytes;
        m_next = reinterpret_cast<char*>(chunk + 1);
        m_end = reinterpret_cast<char*>(chunk) + bytes;
        m_chunkBytes = std::min(m_chunkBytes * 2, kLargestChunk);
    }
    void* block = m_next + kSmallHeader;
    m_next += need;
    TagOf(block) = sizeClass;
    return block;
}

void* GumboArena::AllocateLarge(std::size_t size)
{
    if (size > SIZE_MAX - sizeof(Large))
        return nullptr;
    auto* block = static_cast<Large*>(std::malloc(sizeof(Large) + size));
    if (!block)
        return nullptr;
    block->previous = nullptr;
    block->next = m_large;
    if (m_large)
        m_large->previous = block;
    m_large = block;
    block->size = sizeof(Large) + size;
    block->tag = 0;
    m_held += block->size;
    return block + 1;
}

void GumboArena::Free(void* block)
{
    if (!block)
        return;
    std::size_t sizeClass = TagOf(block);
    if (sizeClass != 0) {
        auto* freed = static_cast<FreeBlock*>(block);
        freed->next = m_free[sizeClass];
        m_free[sizeClass] = freed;
        return;
    }
    Large* large = static_cast<Large*>(block) - 1;
    if (large->previous)
        large->previous->next = large->next;
    else
        m_large = large->next;
    if (large->next)
        large->next->previous = large->previous;
    m_held -= large->size;
    std::free(large);
}

void GumboArena::Use(GumboInternalOptions& options)
{
    options.allocator = [](void* arena, std::size_t size) { return static_cast<GumboArena*>(arena)->Allocate(size); };
    options.deallocator = [](void* arena, void* block) { static_cast<GumboArena*>(arena)->Free(block); };
    options.userdata = this;
}

} // namespace pagestow::offline
