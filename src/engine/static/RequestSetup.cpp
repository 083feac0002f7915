#include "engine/static/RequestSetup.h"

#include "base/Ascii.h"

#include <unistd.h>

#include <cstdint>

namespace pagestow::engine::static_engine {
namespace {

    // A handle that lends share's cookie engine for a moment.
    CurlEasy CookieHandle(CURLSH* share)
    {
        CurlEasy easy(curl_easy_init());
        if (easy) {
            curl_easy_setopt(easy.get(), CURLOPT_COOKIEFILE, "");
            curl_easy_setopt(easy.get(), CURLOPT_SHARE, share);
        }
        return easy;
    }

    void Release(CURL* easy)
    {
        curl_easy_setopt(easy, CURLOPT_SHARE, nullptr);
        curl_easy_setopt(easy, CURLOPT_COOKIEFILE, nullptr);
    }

} // namespace

void LoadCookies(CURLSH* share, const std::vector<cookies::Cookie>& cookies, const std::string& folder)
{
    if (cookies.empty())
        return;
    std::string file = folder + "/.cookies-" + std::to_string(::getpid()) + "-"
        + std::to_string(reinterpret_cast<std::uintptr_t>(share));
    try {
        cookies::WriteCookieFile(file, cookies);
    } catch (const cookies::CookieFileError&) {
        return;
    }
    CurlEasy easy(curl_easy_init());
    if (easy) {
        curl_easy_setopt(easy.get(), CURLOPT_SHARE, share);
        curl_easy_setopt(easy.get(), CURLOPT_COOKIEFILE, file.c_str());
        curl_easy_setopt(easy.get(), CURLOPT_COOKIELIST, "RELOAD");
        Release(easy.get());
    }
    ::unlink(file.c_str());
}

std::vector<cookies::Cookie> ReadCookies(CURLSH* share)
{
    std::vector<cookies::Cookie> read;
    CurlEasy easy = CookieHandle(share);
    if (!easy)
        return read;
    curl_slist* list = nullptr;
    if (curl_easy_getinfo(easy.get(), CURLINFO_COOKIELIST, &list) == CURLE_OK) {
        CurlSlist owned(list);
        for (curl_slist* item = list; item; item = item->next) {
            // A cookie curl took from a server that the file cannot hold (a blank in its name) stays
            // out of the store.
            try {
                for (cookies::Cookie& cookie : cookies::ParseCookieFile(item->data, "curl"))
                    read.push_back(std::move(cookie));
            } catch (const cookies::CookieFileError&) {
            }
        }
    }
    Release(easy.get());
    return read;
}

bool UserReplaces(std::string_view line, const std::vector<RequestHeader>& headers)
{
    std::string_view name = line.substr(0, line.find(':'));
    for (const RequestHeader& header : headers) {
        if (base::EqualsIgnoringAsciiCase(header.name, name))
            return true;
    }
    return false;
}

curl_slist* AppendHeaders(curl_slist* list, const std::vector<RequestHeader>& headers)
{
    for (const RequestHeader& header : headers) {
        std::string line = header.value.empty() ? header.name + ";" : header.name + ": " + header.value;
        list = curl_slist_append(list, line.c_str());
    }
    return list;
}

} // namespace pagestow::engine::static_engine
