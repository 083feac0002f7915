#include "engine/RequestOptions.h"

namespace pagestow::engine {

std::optional<RequestHeader> ParseRequestHeader(std::string_view text, std::string& error)
{
    // A line break would end the header early and start one the user did not write.
    if (text.find_first_of("\r\n") != std::string_view::npos) {
        error = "a header may not hold a line break (CR or LF)";
        return std::nullopt;
    }
    std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) {
        error = "a header needs the form \"Name: value\"";
        return std::nullopt;
    }
    std::string_view name = text.substr(0, colon);
    if (name.empty()) {
        error = "a header needs a name before the \":\"";
        return std::nullopt;
    }
    // A name is an HTTP token: visible characters other than the separators.
    for (unsigned char c : name) {
        if (c <= 0x20 || c >= 0x7f
            || std::string_view("\"(),/:;<=>?@[\\]{}").find(char(c)) != std::string_view::npos) {
            error = "the header name \"" + std::string(name) + "\" holds a blank or a separator";
            return std::nullopt;
        }
    }
    std::string_view value = text.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
        value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
        value.remove_suffix(1);
    for (unsigned char c : value) {
        if ((c < 0x20 && c != '\t') || c == 0x7f) {
            error = "the value of header " + std::string(name) + " holds a control character";
            return std::nullopt;
        }
    }
    return RequestHeader { std::string(name), std::string(value) };
}

} // namespace pagestow::engine
