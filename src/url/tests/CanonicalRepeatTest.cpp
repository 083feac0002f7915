#include "url/Canonical.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace pagestow::url {
namespace {

    // Texts that differ from one another only in what canonicalisation looks at or drops: asked
    // again, in any order, each keeps its own canonical form.
    const std::vector<std::pair<std::string, std::string>>& NearTexts()
    {
        static const std::vector<std::pair<std::string, std::string>> texts = {
            { "http://h/a.gif", "http://h/a.gif" },
            { "http://H/a.gif", "http://h/a.gif" },
            { "http://h/A.gif", "http://h/A.gif" },
            { "http://h/a.gif#x", "http://h/a.gif" },
            { "http://h/a.gif ", "http://h/a.gif" },
            { "http://h/a .gif", "http://h/a%20.gif" },
            { "http://h/a.gif?b", "http://h/a.gif?b" },
            { "http://h:80/a.gif", "http://h/a.gif" },
            { "http://h:81/a.gif", "http://h:81/a.gif" },
            { "http://h/%e4.gif", "http://h/%E4.gif" },
            { "http://h/\xE4.gif", "http://h/%E4.gif" },
            { "a.gif", "" },
            { "", "" },
            { "http://h/./a.gif", "http://h/a.gif" },
        };
        return texts;
    }

    TEST(Canonicalize, SameTextAskedAgainInAnyOrderGivesTheSameForm)
    {
        const auto& texts = NearTexts();
        std::vector<size_t> order;
        for (size_t i = 0; i < texts.size(); ++i)
            order.push_back(i);
        for (size_t i = texts.size(); i-- > 0;)
            order.push_back(i);
        // Every other one, then the rest.
        for (size_t i = 0; i < texts.size(); i += 2)
            order.push_back(i);
        for (size_t i = 1; i < texts.size(); i += 2)
            order.push_back(i);
        for (size_t at : order) {
            const auto& [text, canonical] = texts[at];
            EXPECT_EQ(Canonicalize(text), canonical) << text;
        }
    }

    TEST(Canonicalize, FormsStayRightPastAnyNumberOfDistinctAddresses)
    {
        for (int i = 0; i < 70000; ++i) {
            std::string number = std::to_string(i);
            ASSERT_EQ(Canonicalize("HTTP://Host" + std::to_string(i % 7) + "/img/../" + number + ".gif#f"),
                "http://host" + std::to_string(i % 7) + "/" + number + ".gif")
                << i;
        }
        for (const auto& [text, canonical] : NearTexts())
            EXPECT_EQ(Canonicalize(text), canonical) << text;
        EXPECT_EQ(Canonicalize("HTTP://Host0/img/../0.gif#f"), "http://host0/0.gif");
    }

    TEST(Canonicalize, FormsAreTheSameFromManyThreadsAtOnce)
    {
        std::vector<std::string> failures(4);
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([t, &failures] {
                for (int i = 0; i < 3000; ++i) {
                    int n = (i * 7 + t) % 1000;
                    std::string expected = "http://h/" + std::to_string(n) + ".png";
                    if (Canonicalize("http://H:80/x/../" + std::to_string(n) + ".png") != expected) {
                        failures[size_t(t)] = expected;
                        return;
                    }
                }
            });
        }
        for (auto& thread : threads)
            thread.join();
        for (const std::string& failure : failures)
            EXPECT_EQ(failure, "");
    }

} // namespace
} // namespace pagestow::url
