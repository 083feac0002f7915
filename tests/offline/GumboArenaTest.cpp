// The parser's arena: blocks as aligned as malloc's, freed small ones used again, large ones given
// back, and a page's tree read whole from it.

#include "offline/GumboArena.h"

#include <gtest/gtest.h>
#include <gumbo.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace pagestow::offline {
namespace {

    TEST(GumboArena, BlocksAreAlignedReusedBySizeAndLargeOnesGiveTheirBytesBack)
    {
        GumboArena arena;
        std::vector<void*> blocks;
        for (std::size_t size : { 0, 1, 15, 16, 17, 100, 1024, 1025, 5000, 100000 }) {
            void* block = arena.Allocate(size);
            ASSERT_NE(block, nullptr);
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % 16, 0u) << size;
            std::memset(block, 0xab, size);
            blocks.push_back(block);
        }
        std::uint64_t held = arena.HeldBytes();
        EXPECT_GE(held, 100000u + 5000 + 1025);

        // A freed small block is the next one of its size; a freed large one leaves the arena.
        arena.Free(blocks[5]);
        EXPECT_EQ(arena.Allocate(97), blocks[5]);
        arena.Free(blocks[9]);
        EXPECT_LE(arena.HeldBytes(), held - 100000);
        arena.Free(nullptr);

        // Many small blocks, each freed before the next: the arena does not grow.
        std::uint64_t before = arena.HeldBytes();
        for (int i = 0; i < 100000; ++i)
            arena.Free(arena.Allocate(48));
        EXPECT_LE(arena.HeldBytes(), before + 64 * 1024);
    }

    TEST(GumboArena, HoldsAWholeTreeAndGoesWithIt)
    {
        std::string html = "<title>t</title>";
        for (int i = 0; i < 20000; ++i)
            html += "<p class=c" + std::to_string(i) + ">text " + std::to_string(i) + "<img src=a.png>";
        GumboArena arena;
        GumboOptions options = kGumboDefaultOptions;
        arena.Use(options);
        GumboOutput* output = gumbo_parse_with_options(&options, html.data(), html.size());
        ASSERT_NE(output, nullptr);
        const GumboVector& body = static_cast<const GumboNode*>(output->root->v.element.children.data[1])->v.element.children;
        ASSERT_EQ(body.length, 20000u);
        const GumboNode* last = static_cast<const GumboNode*>(body.data[19999]);
        EXPECT_STREQ(gumbo_get_attribute(&last->v.element.attributes, "class")->value, "c19999");
        // The arena is freed without gumbo_destroy_output, as the parses of the program do.
    }

} // namespace
} // namespace pagestow::offline
