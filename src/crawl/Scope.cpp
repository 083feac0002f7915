#include "crawl/Scope.h"

#include "base/Ascii.h"
#include "url/Address.h"
#include "url/Host.h"

#include <algorithm>
#include <array>

#include <regex.h>

namespace pagestow::crawl {

// A compiled POSIX expression, freed with its owner. The C matcher is used because it needs no
// recursion on long addresses; a const one may be matched from several threads.
struct Scope::Expression {
    regex_t compiled {};
    bool ready = false;

    Expression() = default;
    Expression(const Expression&) = delete;
    Expression& operator=(const Expression&) = delete;
    ~Expression()
    {
        if (ready)
            regfree(&compiled);
    }

    bool Matches(const std::string& text) const
    {
        return regexec(&compiled, text.c_str(), 0, nullptr, 0) == 0;
    }
};

namespace {

    // The folder of a path: up to and with its last "/".
    std::string_view FolderOf(std::string_view pathAndQuery)
    {
        std::string_view path = pathAndQuery.substr(0, pathAndQuery.find('?'));
        return path.substr(0, path.rfind('/') + 1);
    }

    std::string_view PathOf(const url::Address& address)
    {
        return std::string_view(address.Text()).substr(address.PathStart());
    }

} // namespace

std::optional<Scope> Scope::Make(ScopeOptions options, std::string& error)
{
    auto start = url::Address::Parse(options.start);
    if (!start || !start->IsHttp()) {
        error = "the start address is no http or https address";
        return std::nullopt;
    }
    Scope scope;
    scope.m_start = start->Text();
    scope.m_startHost = std::string(start->Host());
    scope.m_startPort = std::string(start->Port());
    scope.m_startFolder = std::string(FolderOf(PathOf(*start)));
    for (std::string& domain : options.domains) {
        std::string_view trimmed = domain;
        while (!trimmed.empty() && trimmed.front() == '.')
            trimmed.remove_prefix(1);
        while (!trimmed.empty() && trimmed.back() == '.')
            trimmed.remove_suffix(1);
        domain = url::AsciiHost(trimmed);
    }
    std::erase(options.domains, std::string());

    for (auto [text, target] : { std::pair { &options.acceptRegex, &scope.m_accept },
             std::pair { &options.rejectRegex, &scope.m_reject } }) {
        if (text->empty())
            continue;
        auto expression = std::make_shared<Expression>();
        int code = regcomp(&expression->compiled, text->c_str(), REG_EXTENDED | REG_NOSUB);
        if (code != 0) {
            std::array<char, 256> message {};
            regerror(code, &expression->compiled, message.data(), message.size());
            error = message.data();
            return std::nullopt;
        }
        expression->ready = true;
        *target = std::move(expression);
    }
    scope.m_options = std::move(options);
    return scope;
}

bool Scope::SameSite(std::string_view host, std::string_view port) const
{
    // http and https of one host are one site; the default ports of both read as "".
    return host == m_startHost && port == m_startPort;
}

bool Scope::InDomains(std::string_view host) const
{
    if (m_options.domains.empty())
        return true;
    for (const std::string& domain : m_options.domains) {
        if (host == domain
            || (host.size() > domain.size() && host.ends_with(domain)
                && host[host.size() - domain.size() - 1] == '.'))
            return true;
    }
    return false;
}

Verdict Scope::Judge(std::string_view address, int depth) const
{
    auto parsed = url::Address::Parse(address);
    if (!parsed || !parsed->IsHttp())
        return Verdict::NotHttp;
    if (url::IsBlockedPort(parsed->PortNumber()))
        return Verdict::BlockedPort;
    if (m_options.maxLevel >= 0 && depth > m_options.maxLevel)
        return Verdict::TooDeep;
    // The start page is what was asked for, whatever the options say of the pages it leads to.
    if (parsed->Text() == m_start)
        return Verdict::Follow;
    std::string_view rest = PathOf(*parsed);
    bool sameSite = SameSite(parsed->Host(), parsed->Port());
    if (!sameSite && (!m_options.spanHosts || !InDomains(parsed->Host())))
        return Verdict::OtherHost;
    if (sameSite && m_options.noParent && !rest.starts_with(m_startFolder))
        return Verdict::Parent;
    if (m_reject && m_reject->Matches(parsed->Text()))
        return Verdict::Rejected;
    if (m_accept && !m_accept->Matches(parsed->Text()))
        return Verdict::NotAccepted;
    return Verdict::Follow;
}

const char* VerdictText(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Follow:
        return "followed";
    case Verdict::NotHttp:
        return "not http";
    case Verdict::OtherHost:
        return "another host";
    case Verdict::Parent:
        return "above the start folder";
    case Verdict::Rejected:
        return "rejected by --reject-regex";
    case Verdict::NotAccepted:
        return "not accepted by --accept-regex";
    case Verdict::TooDeep:
        return "past --level";
    case Verdict::BlockedPort:
        return "blocked port";
    }
    return "";
}

} // namespace pagestow::crawl
