#pragma once

#include "engine/Snapshot.h"

#include <ostream>
#include <string>
#include <utility>

namespace pagestow::engine {

// What a load completed with, as the engines' tests compare it: the top-level document's address and
// where its content came from.
struct CompletedPage {
    std::string url;
    DocumentOrigin origin = DocumentOrigin::Loaded;
    bool operator==(const CompletedPage&) const = default;
};

inline void PrintTo(const CompletedPage& page, std::ostream* out)
{
    const char* origins[] = { "Loaded", "Inherited", "Failed" };
    *out << origins[int(page.origin)] << " " << page.url;
}

// The built-in error page of a navigation to address that got no response.
inline CompletedPage ErrorPage(std::string address)
{
    return { std::move(address), DocumentOrigin::Failed };
}

} // namespace pagestow::engine
