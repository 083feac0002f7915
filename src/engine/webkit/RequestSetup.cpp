// What the user adds to the view's requests (RequestOptions): the cookies go into the context's
// cookie manager before the first page, the user agent into the view's settings, and the headers to
// the web-process extension, which adds them to every request of the page (send-request).

#include "engine/webkit/EngineImpl.h"

#include <filesystem>

namespace pagestow::engine::webkit {
namespace {

    // How long the cookie manager may take to answer; it lives in the network process.
    constexpr std::chrono::seconds kCookieAnswerTimeout { 10 };

    bool IsAddress(const std::string& host)
    {
        return host.empty() || host.front() == '['
            || host.find_first_not_of("0123456789.") == std::string::npos;
    }

    SoupCookie* SoupCookieOf(const cookies::Cookie& cookie)
    {
        // A domain cookie's domain starts with a dot; an address has no subdomains.
        std::string domain
            = cookie.includeSubdomains && !IsAddress(cookie.domain) ? "." + cookie.domain : cookie.domain;
        SoupCookie* soup = soup_cookie_new(
            cookie.name.c_str(), cookie.value.c_str(), domain.c_str(), cookie.path.c_str(), -1);
        if (cookie.expires > 0) {
            GDateTime* expires = g_date_time_new_from_unix_utc(cookie.expires);
            soup_cookie_set_expires(soup, expires);
            g_date_time_unref(expires);
        }
        soup_cookie_set_secure(soup, cookie.secure);
        soup_cookie_set_http_only(soup, cookie.httpOnly);
        return soup;
    }

    cookies::Cookie CookieOf(SoupCookie* soup)
    {
        cookies::Cookie cookie;
        std::string domain = soup_cookie_get_domain(soup) ? soup_cookie_get_domain(soup) : "";
        cookie.includeSubdomains = domain.starts_with('.');
        cookie.domain = cookie.includeSubdomains ? domain.substr(1) : domain;
        cookie.path = soup_cookie_get_path(soup) ? soup_cookie_get_path(soup) : "/";
        cookie.secure = soup_cookie_get_secure(soup);
        cookie.httpOnly = soup_cookie_get_http_only(soup);
        GDateTime* expires = soup_cookie_get_expires(soup);
        cookie.expires = expires ? g_date_time_to_unix(expires) : 0;
        cookie.name = soup_cookie_get_name(soup) ? soup_cookie_get_name(soup) : "";
        cookie.value = soup_cookie_get_value(soup) ? soup_cookie_get_value(soup) : "";
        return cookie;
    }

    // One answer of the cookie manager. An answer that comes after the wait was given up frees it.
    struct CookieAnswer {
        bool done = false;
        bool abandoned = false;
        GList* cookies = nullptr;
        ~CookieAnswer() { g_list_free_full(cookies, reinterpret_cast<GDestroyNotify>(soup_cookie_free)); }
    };

    // Called with the answer: false when nobody waits for it any more (it is then freed).
    bool Arrived(CookieAnswer* answer)
    {
        if (answer->abandoned) {
            delete answer;
            return false;
        }
        answer->done = true;
        return true;
    }

    // Runs the default main context until the answer is in or the time is up; the answer, or null
    // (then left to its callback).
    std::unique_ptr<CookieAnswer> WaitFor(CookieAnswer* answer)
    {
        const bool& done = answer->done;
        bool expired = false;
        guint timer = AddTimeout(
            kCookieAnswerTimeout,
            [](gpointer data) -> gboolean {
                *static_cast<bool*>(data) = true;
                return G_SOURCE_REMOVE;
            },
            &expired);
        while (!done && !expired)
            g_main_context_iteration(nullptr, TRUE);
        if (!expired)
            g_source_remove(timer);
        if (!done) {
            answer->abandoned = true;
            return nullptr;
        }
        return std::unique_ptr<CookieAnswer>(answer);
    }

    WebKitCookieManager* CookieManager(WebKitWebContext* context)
    {
        return webkit_website_data_manager_get_cookie_manager(
            webkit_web_context_get_website_data_manager(context));
    }

} // namespace

void WebKitEngine::Impl::ApplyRequestOptions()
{
    const RequestOptions& requests = m_owner.Requests();
    if (!requests.userAgent.empty())
        webkit_settings_set_user_agent(webkit_web_view_get_settings(m_view), requests.userAgent.c_str());
    // The context keeps its cookies from page to page: the store's cookies go in once.
    if (m_cookiesGiven || m_owner.StoredCookies().empty())
        return;
    m_cookiesGiven = true;
    GList* list = nullptr;
    for (const cookies::Cookie& cookie : m_owner.StoredCookies())
        list = g_list_prepend(list, SoupCookieOf(cookie));
    list = g_list_reverse(list);
    auto* answer = new CookieAnswer;
    webkit_cookie_manager_replace_cookies(
        CookieManager(m_context), list, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            webkit_cookie_manager_replace_cookies_finish(WEBKIT_COOKIE_MANAGER(source), result, nullptr);
            Arrived(static_cast<CookieAnswer*>(data));
        },
        answer);
    g_list_free_full(list, reinterpret_cast<GDestroyNotify>(soup_cookie_free));
    WaitFor(answer);
}

GVariant* WebKitEngine::Impl::ExtensionData() const
{
    GVariantBuilder blocked;
    g_variant_builder_init(&blocked, G_VARIANT_TYPE_STRING_ARRAY);
    for (const std::string& address : m_blocked)
        g_variant_builder_add(&blocked, "s", address.c_str());
    GVariantBuilder headers;
    g_variant_builder_init(&headers, G_VARIANT_TYPE("a(ss)"));
    for (const RequestHeader& header : m_owner.Requests().headers)
        g_variant_builder_add(&headers, "(ss)", header.name.c_str(), header.value.c_str());
    return g_variant_new("(asa(ss))", &blocked, &headers);
}

void WebKitEngine::Impl::AddRequestHeaders(SoupMessageHeaders* headers) const
{
    for (const RequestHeader& header : m_owner.Requests().headers)
        soup_message_headers_replace(headers, header.name.c_str(), header.value.c_str());
}

std::vector<cookies::Cookie> WebKitEngine::Impl::ReadCookies()
{
    auto* pending = new CookieAnswer;
    webkit_cookie_manager_get_all_cookies(
        CookieManager(m_context), nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            auto* into = static_cast<CookieAnswer*>(data);
            GList* cookies = webkit_cookie_manager_get_all_cookies_finish(
                WEBKIT_COOKIE_MANAGER(source), result, nullptr);
            if (Arrived(into))
                into->cookies = cookies;
            else
                g_list_free_full(cookies, reinterpret_cast<GDestroyNotify>(soup_cookie_free));
        },
        pending);
    std::unique_ptr<CookieAnswer> answer = WaitFor(pending);
    std::vector<cookies::Cookie> store;
    for (GList* item = answer ? answer->cookies : nullptr; item; item = item->next) {
        cookies::Cookie cookie = CookieOf(static_cast<SoupCookie*>(item->data));
        if (!cookie.domain.empty() && !cookies::CookieProblem(cookie))
            store.push_back(std::move(cookie));
    }
    return store;
}

WebKitWebContext* WebKitEngine::Impl::SessionContext(const std::string& cookieFile)
{
    // The view's other site data (local storage and the like) lives beside the cookie file, its
    // HTTP cache in a folder below that: both inside the cookie file's folder, which is the user's own.
    std::string folder = std::filesystem::path(cookieFile).parent_path().string();
    std::string data = folder + "/webkit";
    std::string cache = folder + "/webkit/cache";
    WebKitWebsiteDataManager* manager = webkit_website_data_manager_new(
        "base-data-directory", data.c_str(), "base-cache-directory", cache.c_str(), nullptr);
    webkit_cookie_manager_set_persistent_storage(webkit_website_data_manager_get_cookie_manager(manager),
        cookieFile.c_str(), WEBKIT_COOKIE_PERSISTENT_STORAGE_TEXT);
    WebKitWebContext* context = webkit_web_context_new_with_website_data_manager(manager);
    g_object_unref(manager);
    return context;
}

std::vector<cookies::Cookie> WebKitEngine::CookieStore()
{
    if (!Requests().keepCookies)
        return PageEngine::CookieStore();
    return m_impl->ReadCookies();
}

} // namespace pagestow::engine::webkit
