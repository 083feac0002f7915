#include "crawl/Robots.h"

#include "base/Ascii.h"
#include "url/Address.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace pagestow::crawl {
namespace {

    // Longer lines are no rule a site means; they are skipped unread.
    constexpr std::size_t kMaxLineBytes = 8192;
    constexpr std::string_view kOwnName = "pagestow";

    bool IsUnreserved(unsigned char c)
    {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'
            || c == '.' || c == '_' || c == '~';
    }

    void AppendEscape(std::string& out, unsigned char c)
    {
        constexpr char kHex[] = "0123456789ABCDEF";
        out += '%';
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }

    // One spelling for the same bytes in a path and in a pattern: escapes of unreserved characters
    // decoded, other escapes in upper case, raw bytes a browser would escape escaped.
    std::string NormalisePath(std::string_view text)
    {
        std::string out;
        out.reserve(text.size());
        for (std::size_t i = 0; i < text.size(); ++i) {
            unsigned char c = (unsigned char)text[i];
            if (c == '%' && i + 2 < text.size() && base::IsHexDigit(text[i + 1])
                && base::IsHexDigit(text[i + 2])) {
                auto value = (unsigned char)(base::HexDigitValue(text[i + 1]) * 16
                    + base::HexDigitValue(text[i + 2]));
                if (IsUnreserved(value))
                    out += char(value);
                else
                    AppendEscape(out, value);
                i += 2;
            } else if (c <= 0x20 || c >= 0x7F) {
                AppendEscape(out, c);
            } else {
                out += char(c);
            }
        }
        return out;
    }

    std::string CollapseStars(std::string text)
    {
        std::string out;
        out.reserve(text.size());
        for (char c : text) {
            if (c != '*' || out.empty() || out.back() != '*')
                out += c;
        }
        return out;
    }

    // Whether pattern ("*" any run, a final "$" the end) matches the start of path. Leftmost matching of
    // each piece between stars is enough for patterns that have no other wildcard, and keeps the work
    // within pattern times path.
    bool Matches(std::string_view pattern, std::string_view path)
    {
        bool anchored = !pattern.empty() && pattern.back() == '$';
        if (anchored)
            pattern.remove_suffix(1);
        std::size_t star = pattern.find('*');
        std::string_view first = pattern.substr(0, star);
        if (path.substr(0, first.size()) != first)
            return false;
        if (star == std::string_view::npos)
            return !anchored || path.size() == first.size();
        std::size_t at = first.size();
        pattern.remove_prefix(star + 1);
        for (;;) {
            star = pattern.find('*');
            std::string_view piece = pattern.substr(0, star);
            if (star == std::string_view::npos) {
                if (!anchored)
                    return path.find(piece, at) != std::string_view::npos;
                return path.size() - at >= piece.size() && path.substr(path.size() - piece.size()) == piece;
            }
            std::size_t found = path.find(piece, at);
            if (found == std::string_view::npos)
                return false;
            at = found + piece.size();
            pattern.remove_prefix(star + 1);
        }
    }

    std::string_view TrimBlanks(std::string_view text)
    {
        while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
            text.remove_prefix(1);
        while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
            text.remove_suffix(1);
        return text;
    }

    // The product token of a user-agent line's value ("Googlebot" of "Googlebot/2.1"); "*" for the
    // group of every crawler.
    std::string_view GroupToken(std::string_view value)
    {
        if (!value.empty() && value[0] == '*')
            return value.size() == 1 || value[1] == ' ' || value[1] == '\t' ? "*" : "";
        std::size_t end = 0;
        while (end < value.size()) {
            char c = value[end];
            if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'
                    || c == '-'))
                break;
            ++end;
        }
        return value.substr(0, end);
    }

    std::optional<double> ParseDelay(std::string_view value)
    {
        double seconds = 0;
        auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), seconds);
        if (error != std::errc() || end != value.data() + value.size() || !std::isfinite(seconds)
            || seconds < 0)
            return std::nullopt;
        return seconds;
    }

} // namespace

RobotsRules RobotsRules::AllowAll()
{
    return RobotsRules();
}

RobotsRules RobotsRules::DisallowAll()
{
    RobotsRules rules;
    rules.m_rules.push_back({ "*", false });
    return rules;
}

RobotsRules RobotsRules::Parse(std::string_view body, std::string_view userAgent)
{
    if (body.size() > kMaxRobotsBytes) {
        // A line cut in two could read as a broader rule than the site wrote.
        body = body.substr(0, kMaxRobotsBytes);
        body = body.substr(0, body.find_last_of("\r\n") + 1);
    }
    if (body.substr(0, 3) == "\xEF\xBB\xBF")
        body.remove_prefix(3);
    std::vector<std::string> names = ProductNames(userAgent);
    names.emplace_back(kOwnName);

    // The groups naming this crawler and those for every crawler are gathered apart, each merged; the
    // named ones win when there are any.
    RobotsRules named, everyone;
    bool foundNamed = false, foundEveryone = false;
    bool groupNamed = false, groupEveryone = false;
    bool inAgentLines = false;

    std::size_t at = 0;
    while (at < body.size()) {
        std::size_t end = body.find_first_of("\r\n", at);
        if (end == std::string_view::npos)
            end = body.size();
        std::string_view line = body.substr(at, end - at);
        at = end + 1;
        if (line.size() > kMaxLineBytes)
            continue;
        line = TrimBlanks(line.substr(0, line.find('#')));
        std::size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            continue;
        std::string key = base::LowerAscii(TrimBlanks(line.substr(0, colon)));
        std::string_view value = TrimBlanks(line.substr(colon + 1));

        if (key == "user-agent") {
            if (!inAgentLines)
                groupNamed = groupEveryone = false;
            inAgentLines = true;
            std::string_view token = GroupToken(value);
            if (token == "*") {
                groupEveryone = true;
            } else if (!token.empty()) {
                for (const std::string& name : names)
                    groupNamed = groupNamed || base::EqualsIgnoringAsciiCase(token, name);
            }
            foundNamed = foundNamed || groupNamed;
            foundEveryone = foundEveryone || groupEveryone;
            continue;
        }
        bool isRule = key == "allow" || key == "disallow";
        if (!isRule && key != "crawl-delay")
            continue;
        inAgentLines = false;
        for (RobotsRules* target : { groupNamed ? &named : nullptr, groupEveryone ? &everyone : nullptr }) {
            if (!target)
                continue;
            if (!isRule) {
                if (!target->m_crawlDelay)
                    target->m_crawlDelay = ParseDelay(value);
                continue;
            }
            if (value.empty() || target->m_rules.size() >= kMaxRobotsRules)
                continue;
            std::string pattern = CollapseStars(NormalisePath(value));
            if (pattern.size() <= kMaxRobotsPattern)
                target->m_rules.push_back({ std::move(pattern), key == "allow" });
        }
    }
    if (foundNamed)
        return named;
    if (foundEveryone)
        return everyone;
    return AllowAll();
}

bool RobotsRules::Allows(std::string_view pathAndQuery) const
{
    if (pathAndQuery.empty())
        pathAndQuery = "/";
    if (pathAndQuery == "/robots.txt" || m_rules.empty())
        return true;
    std::string path = NormalisePath(pathAndQuery);
    std::size_t bestLength = 0;
    bool matched = false, allowed = true;
    for (const Rule& rule : m_rules) {
        std::size_t length = rule.pattern.size();
        // Only a longer match, or an allow that ties a disallow, changes the answer.
        if (matched && (length < bestLength || (length == bestLength && (allowed || !rule.allow))))
            continue;
        if (!Matches(rule.pattern, path))
            continue;
        matched = true;
        bestLength = length;
        allowed = rule.allow;
    }
    return allowed;
}

RobotsRules RulesForAnswer(long status, std::string_view body, std::string_view userAgent)
{
    if (status >= 200 && status <= 299)
        return RobotsRules::Parse(body, userAgent);
    // A site that asks to slow down (429) is treated as one that cannot answer now.
    if (status >= 300 && status <= 499 && status != 429)
        return RobotsRules::AllowAll();
    return RobotsRules::DisallowAll();
}

std::string RobotsPath(std::string_view address)
{
    auto parsed = url::Address::Parse(address);
    if (!parsed)
        return "/";
    std::string_view rest = std::string_view(parsed->Text()).substr(parsed->PathStart());
    rest = rest.substr(0, rest.find('#'));
    if (rest.empty() || rest[0] != '/')
        return "/" + std::string(rest);
    return std::string(rest);
}

std::vector<std::string> ProductNames(std::string_view userAgent)
{
    std::vector<std::string> names;
    int depth = 0;
    std::size_t i = 0;
    while (i < userAgent.size()) {
        char c = userAgent[i];
        if (c == '(' || c == ')') {
            depth = c == '(' ? depth + 1 : std::max(depth - 1, 0);
            ++i;
            continue;
        }
        if (c == ' ' || c == '\t' || depth > 0) {
            ++i;
            continue;
        }
        std::size_t end = userAgent.find_first_of(" \t()", i);
        if (end == std::string_view::npos)
            end = userAgent.size();
        std::string_view product = userAgent.substr(i, end - i);
        product = product.substr(0, product.find('/'));
        if (!product.empty())
            names.push_back(base::LowerAscii(product));
        i = end;
    }
    return names;
}

} // namespace pagestow::crawl
