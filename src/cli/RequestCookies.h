#pragma once

#include "cli/CliOptions.h"
#include "engine/PageEngine.h"
#include "engine/RequestOptions.h"

#include <string>

namespace pagestow::cli {

// What every request of the run carries, from the options: the cookie file read, the headers and
// the user agent. False with error set ("cookies.txt:3: ...", never a value) when the cookie file
// cannot be read.
bool MakeRequestOptions(const CliOptions& options, engine::RequestOptions& requests, std::string& error);

// Writes what the engine's cookie store holds (expired cookies left out) to path, owner-only and
// whole; "" when written, else the message.
std::string SaveCookieStore(engine::PageEngine& engine, const std::string& path);

// The file worker number index of --jobs writes its cookie store to, beside path.
std::string WorkerCookieFile(const std::string& path, int index);

// Joins the cookie files the workers wrote into path (for a cookie every worker holds, the last
// worker's) and removes them; "" when written, else the message.
std::string MergeWorkerCookies(const std::string& path, int workers);

} // namespace pagestow::cli
