#include "cli/RequestCookies.h"

#include "engine/cookies/CookieMatch.h"

#include <ctime>
#include <filesystem>
#include <map>
#include <tuple>

namespace pagestow::cli {

bool MakeRequestOptions(const CliOptions& options, engine::RequestOptions& requests, std::string& error)
{
    requests = {};
    if (!options.loadCookies.empty()) {
        try {
            requests.cookies = engine::cookies::ReadCookieFile(options.loadCookies);
        } catch (const engine::cookies::CookieFileError& failure) {
            error = failure.what();
            return false;
        }
    }
    requests.headers = options.headers;
    requests.userAgent = options.userAgent;
    // A session that starts from a cookie file, or one that is saved, carries from page to page.
    requests.keepCookies = !options.loadCookies.empty() || !options.saveCookies.empty();
    return true;
}

std::string SaveCookieStore(engine::PageEngine& engine, const std::string& path)
{
    try {
        engine::cookies::WriteCookieFile(
            path, engine::cookies::Unexpired(engine.CookieStore(), std::time(nullptr)));
    } catch (const engine::cookies::CookieFileError& failure) {
        return failure.what();
    }
    return {};
}

std::string WorkerCookieFile(const std::string& path, int index)
{
    std::filesystem::path file(path);
    return (file.parent_path() / ("." + file.filename().string() + ".worker-" + std::to_string(index)))
        .string();
}

std::string MergeWorkerCookies(const std::string& path, int workers)
{
    using Key = std::tuple<std::string, std::string, std::string>;
    std::map<Key, engine::cookies::Cookie> merged;
    std::string problem;
    for (int index = 1; index <= workers; ++index) {
        std::string part = WorkerCookieFile(path, index);
        std::error_code missing;
        if (!std::filesystem::exists(part, missing))
            continue;
        try {
            for (engine::cookies::Cookie& cookie : engine::cookies::ReadCookieFile(part))
                merged[Key { cookie.domain, cookie.path, cookie.name }] = std::move(cookie);
        } catch (const engine::cookies::CookieFileError& failure) {
            problem = failure.what();
        }
        std::filesystem::remove(part, missing);
    }
    if (!problem.empty())
        return problem;
    std::vector<engine::cookies::Cookie> cookies;
    for (auto& [key, cookie] : merged)
        cookies.push_back(std::move(cookie));
    try {
        engine::cookies::WriteCookieFile(path, cookies);
    } catch (const engine::cookies::CookieFileError& failure) {
        return failure.what();
    }
    return {};
}

} // namespace pagestow::cli
