#pragma once

#include "engine/RequestOptions.h"
#include "engine/static/Handles.h"

#include <string>
#include <string_view>
#include <vector>

// What the user adds to the built-in engine's requests (RequestOptions): the cookies go into the
// load's shared cookie engine, so that curl sends each only where its domain, path and secure flag
// match, and the headers join the engine's own.
namespace pagestow::engine::static_engine {

// Puts the cookies into the cookie engine of share (one that shares CURL_LOCK_DATA_COOKIE), through
// a cookie file written for the moment into folder (the engine's own) and removed at once: curl
// reads a file in one pass, where cookies handed over one by one cost time that grows with the
// square of their number (50,000 cookies took minutes).
void LoadCookies(CURLSH* share, const std::vector<cookies::Cookie>& cookies, const std::string& folder);

// What the cookie engine of share holds: the cookies it was given and those the servers set.
std::vector<cookies::Cookie> ReadCookies(CURLSH* share);

// The engine's header line (Accept: ...) unless the user gives a header of that name.
bool UserReplaces(std::string_view line, const std::vector<RequestHeader>& headers);

// The list with the user's headers appended, each "Name: value" (an empty value as "Name;", which
// curl sends as an empty header).
curl_slist* AppendHeaders(curl_slist* list, const std::vector<RequestHeader>& headers);

} // namespace pagestow::engine::static_engine
