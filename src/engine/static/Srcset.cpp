#include "engine/static/Srcset.h"

#include "base/Ascii.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <set>
#include <utility>
#include <vector>

namespace pagestow::engine::static_engine {
namespace {
    using base::IsHtmlSpace;
    using base::TrimHtmlSpace;

    // Reads a CSS length in pixels ("300px", "50vw", "0"); nullopt for anything else.
    std::optional<double> LengthInPixels(std::string_view text, int viewportWidth)
    {
        text = TrimHtmlSpace(text);
        double value = 0;
        auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error != std::errc() || value < 0)
            return std::nullopt;
        std::string unit = base::LowerAscii(std::string_view(end, size_t(text.data() + text.size() - end)));
        if (unit == "px" || (unit.empty() && value == 0))
            return value;
        if (unit == "vw")
            return value * viewportWidth / 100.0;
        if (unit == "em" || unit == "rem")
            return value * 16.0;
        return std::nullopt;
    }

    // The width an image is laid out at according to its sizes attribute.
    double SourceSize(std::string_view sizes, int viewportWidth)
    {
        // 1. Take the comma-separated entries in order.
        size_t start = 0;
        while (start <= sizes.size()) {
            size_t comma = sizes.find(',', start);
            std::string_view entry = TrimHtmlSpace(sizes.substr(
                start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
            if (!entry.empty()) {
                // 2. An entry's last token is its length; what comes before it is its media condition.
                size_t split = entry.find_last_of(" \t\n\f\r)");
                std::string_view condition;
                std::string_view length = entry;
                if (split != std::string_view::npos) {
                    condition = TrimHtmlSpace(entry.substr(0, split + 1));
                    length = TrimHtmlSpace(entry.substr(split + 1));
                }
                // 3. The first entry without a condition, or whose condition holds, decides; a length
                //    that cannot be read counts as the full viewport.
                if (condition.empty() || MediaMatches(condition, viewportWidth)) {
                    if (auto pixels = LengthInPixels(length, viewportWidth); pixels && *pixels > 0)
                        return *pixels;
                    return viewportWidth;
                }
            }
            if (comma == std::string_view::npos)
                break;
            start = comma + 1;
        }
        // 4. Without a deciding entry the image is as wide as the viewport.
        return viewportWidth;
    }

    struct Candidate {
        std::string url;
        std::optional<double> density;
        std::optional<double> width;
    };

    // Splits a srcset value into its image candidates.
    std::vector<Candidate> ParseSrcset(std::string_view srcset)
    {
        std::vector<Candidate> candidates;
        size_t i = 0;
        while (i < srcset.size()) {
            // 1. Skip blanks and commas before a candidate; the end of the text ends the list.
            while (i < srcset.size() && (IsHtmlSpace(srcset[i]) || srcset[i] == ','))
                ++i;
            if (i >= srcset.size())
                break;
            // 2. The address runs to the next blank. Commas at its end end the candidate at once,
            //    without descriptors.
            size_t start = i;
            while (i < srcset.size() && !IsHtmlSpace(srcset[i]))
                ++i;
            std::string_view url = srcset.substr(start, i - start);
            std::vector<std::string> descriptors;
            if (!url.empty() && url.back() == ',') {
                while (!url.empty() && url.back() == ',')
                    url.remove_suffix(1);
            } else {
                // 3. Otherwise the descriptors follow, split at blanks, up to a comma outside
                //    parentheses.
                std::string current;
                bool inParens = false;
                for (; i < srcset.size(); ++i) {
                    char c = srcset[i];
                    if (inParens) {
                        current += c;
                        inParens = c != ')';
                    } else if (c == ',') {
                        ++i;
                        break;
                    } else if (IsHtmlSpace(c)) {
                        if (!current.empty())
                            descriptors.push_back(std::exchange(current, {}));
                    } else {
                        current += c;
                        inParens = c == '(';
                    }
                }
                if (!current.empty())
                    descriptors.push_back(current);
            }
            if (url.empty())
                continue;
            // 4. Read the descriptors: at most one of a density ("2x") or a width ("400w"); a height
            //    ("300h") is allowed and ignored; anything else drops the candidate.
            Candidate candidate { std::string(url), std::nullopt, std::nullopt };
            bool valid = true;
            for (const std::string& descriptor : descriptors) {
                if (descriptor.size() < 2) {
                    valid = false;
                    continue;
                }
                char unit = base::LowerAscii(descriptor.back());
                double number = 0;
                auto [end, error]
                    = std::from_chars(descriptor.data(), descriptor.data() + descriptor.size() - 1, number);
                bool parsed = error == std::errc() && end == descriptor.data() + descriptor.size() - 1;
                if (unit == 'x' && parsed && number >= 0 && !candidate.density && !candidate.width)
                    candidate.density = number;
                else if (unit == 'w' && parsed && number > 0 && !candidate.density && !candidate.width)
                    candidate.width = number;
                else if (unit != 'h')
                    valid = false;
            }
            if (valid)
                candidates.push_back(std::move(candidate));
        }
        return candidates;
    }

} // namespace

std::string PickSrcsetCandidate(
    std::string_view srcset, std::string_view sizes, std::string_view src, int viewportWidth)
{
    // 1. Read the candidates.
    std::vector<Candidate> candidates = ParseSrcset(srcset);
    bool anyWidth = std::any_of(
        candidates.begin(), candidates.end(), [](const Candidate& c) { return c.width.has_value(); });
    // 2. Give every candidate a density: a width candidate's width over the source size, a candidate
    //    without descriptor 1x.
    bool anyOneX = false;
    double sourceSize = SourceSize(sizes, viewportWidth);
    for (Candidate& candidate : candidates) {
        if (candidate.width)
            candidate.density = *candidate.width / sourceSize;
        else if (!candidate.density)
            candidate.density = 1.0;
        if (!candidate.width && *candidate.density == 1.0)
            anyOneX = true;
    }
    // 3. src joins as a 1x candidate when no width candidate and no 1x candidate is there.
    if (!anyWidth && !anyOneX && !TrimHtmlSpace(src).empty())
        candidates.push_back({ std::string(TrimHtmlSpace(src)), 1.0, std::nullopt });
    if (candidates.empty())
        return std::string(TrimHtmlSpace(src));
    // 4. At device pixel ratio 1, take the smallest density that still gives one image pixel per
    //    screen pixel, else the largest density there is.
    const Candidate* best = nullptr;
    for (const Candidate& candidate : candidates) {
        if (*candidate.density >= 1.0 && (!best || *candidate.density < *best->density))
            best = &candidate;
    }
    if (!best) {
        for (const Candidate& candidate : candidates) {
            if (!best || *candidate.density > *best->density)
                best = &candidate;
        }
    }
    return best->url;
}

bool MediaMatches(std::string_view media, int viewportWidth)
{
    // 1. An empty query, "all" and "screen" hold.
    std::string text = base::LowerAscii(TrimHtmlSpace(media));
    if (text.empty() || text == "all" || text == "screen")
        return true;
    // 2. A comma-separated list holds when one of its queries does.
    if (text.find(',') != std::string::npos) {
        size_t start = 0;
        while (start <= text.size()) {
            size_t comma = text.find(',', start);
            if (MediaMatches(
                    std::string_view(text).substr(start, comma == std::string::npos ? comma : comma - start),
                    viewportWidth))
                return true;
            if (comma == std::string::npos)
                break;
            start = comma + 1;
        }
        return false;
    }
    // 3. A query is parts joined by "and"; each must hold.
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        size_t found = text.find(" and ", start);
        parts.push_back(std::string(TrimHtmlSpace(
            std::string_view(text).substr(start, found == std::string::npos ? found : found - start))));
        if (found == std::string::npos)
            break;
        start = found + 5;
    }
    for (size_t i = 0; i < parts.size(); ++i) {
        std::string part = parts[i];
        // 4. A leading "only" changes nothing; the media types screen and all hold, others do not.
        if (i == 0 && part.rfind("only ", 0) == 0)
            part = std::string(TrimHtmlSpace(std::string_view(part).substr(5)));
        if (part == "screen" || part == "all")
            continue;
        // 5. A feature in parentheses: min-width and max-width against the viewport; a feature the
        //    engine cannot read does not hold.
        if (part.size() < 2 || part.front() != '(' || part.back() != ')')
            return false;
        std::string_view feature = TrimHtmlSpace(std::string_view(part).substr(1, part.size() - 2));
        size_t colon = feature.find(':');
        if (colon == std::string_view::npos)
            return false;
        std::string_view name = TrimHtmlSpace(feature.substr(0, colon));
        auto length = LengthInPixels(feature.substr(colon + 1), viewportWidth);
        if (!length)
            return false;
        if (name == "min-width" && !(viewportWidth >= *length))
            return false;
        if (name == "max-width" && !(viewportWidth <= *length))
            return false;
        if (name != "min-width" && name != "max-width")
            return false;
    }
    return true;
}

bool IsSupportedImageType(std::string_view type)
{
    static const std::set<std::string, std::less<>> kTypes
        = { "image/apng", "image/avif", "image/bmp", "image/gif", "image/jpeg", "image/jpg", "image/png",
              "image/svg+xml", "image/webp", "image/x-icon", "image/vnd.microsoft.icon" };
    std::string_view trimmed = TrimHtmlSpace(type);
    return trimmed.empty() || kTypes.count(base::LowerAscii(trimmed)) > 0;
}

} // namespace pagestow::engine::static_engine
