#pragma once

#include "engine/Contract.h"
#include "engine/EngineCache.h"
#include "engine/PageEngine.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace pagestow::engine {

// The user agent the built-in engine sends: browser-like, so that servers send their usual pages.
inline constexpr std::string_view kStaticUserAgent
    = "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Pagestow/0.1 Safari/537.36";

// Limits of the built-in engine; the defaults are what the programs use.
struct StaticEngineOptions {
    // A body larger than this fails that resource (a document keeps what arrived up to the limit).
    std::uint64_t maxBodyBytes = std::uint64_t(256) << 20;
    // What one page may hold in memory: its documents' bytes and elements, over every frame; one
    // document takes at most half of it. A document that outgrows it is given up (a frame then
    // failed, the page the error page). Subresources stream to the cache and do not count.
    std::uint64_t pageMemoryBudget = kPageMemoryBudget;
    // Frames inside frames are loaded to this depth; deeper ones cannot be reached.
    int maxFrameDepth = kFrameDepthLimit;
    // After the load time-out, what was requested (and what the documents that arrived name) may
    // still finish for this long; then the page is complete.
    std::chrono::milliseconds afterTimeout { 5'000 };
    int maxRedirects = 20;
    int connectionsPerHost = 6;
    std::chrono::milliseconds connectTimeout { 30'000 };
    // A PEM file of the certificate authorities to trust instead of the system's store; empty means
    // the system's store.
    std::string certificateAuthorities;
    // Where loaded resources are recorded; null gives the engine a cache of its own.
    EngineCache* cache = nullptr;
};

// The built-in page engine: libcurl (HTTP/1.1 and HTTP/2, several connections per host, redirects,
// cookies for the load) and the gumbo HTML parser. It loads the page, its frames to any depth and
// every stylesheet, script, icon and image a browser would request, runs no JavaScript, and offers
// each document as it was served.
std::unique_ptr<PageEngine> CreateStaticEngine(const StaticEngineOptions& options = {});


} // namespace pagestow::engine
