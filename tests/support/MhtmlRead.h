#pragma once

#include <cstddef>
#include <map>
#include <regex>
#include <string>
#include <vector>

namespace pagestow::testing {

// An MHTML file as a reader sees it: the message's headers (folded lines joined), its boundary, and
// each part's headers and decoded body.
struct MhtmlMessage {
    struct Part {
        std::map<std::string, std::string> headers;
        std::string body;
    };
    std::map<std::string, std::string> headers;
    std::string type;
    std::string boundary;
    std::vector<Part> parts;
    // How often "--" + boundary occurs in the whole file, and the longest line.
    size_t boundaryCount = 0;
    size_t longestLine = 0;
};

inline std::map<std::string, std::string> ReadHeaders(const std::string& block)
{
    std::string unfolded = std::regex_replace(block, std::regex("\r\n[ \t]+"), " ");
    std::map<std::string, std::string> headers;
    size_t at = 0;
    while (at < unfolded.size()) {
        size_t end = unfolded.find("\r\n", at);
        if (end == std::string::npos)
            end = unfolded.size();
        std::string line = unfolded.substr(at, end - at);
        size_t colon = line.find(": ");
        if (colon != std::string::npos)
            headers[line.substr(0, colon)] = line.substr(colon + 2);
        at = end + 2;
    }
    return headers;
}

inline std::string DecodeBase64(const std::string& text)
{
    static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned value = 0;
    int bits = 0;
    for (char c : text) {
        size_t digit = kAlphabet.find(c);
        if (digit == std::string::npos)
            continue;
        value = (value << 6) | unsigned(digit);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += char((value >> bits) & 255);
        }
    }
    return out;
}

inline std::string DecodeQuotedPrintable(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '=') {
            out += text[i];
        } else if (text.compare(i + 1, 2, "\r\n") == 0) {
            i += 2;
        } else {
            out += char(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        }
    }
    return out;
}

// bytes with every line break as CRLF, as quoted-printable text gives its lines back.
inline std::string Crlf(const std::string& bytes)
{
    std::string out;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r'))
            out += '\r';
        out += bytes[i];
    }
    return out;
}

inline MhtmlMessage ReadMhtml(const std::string& text)
{
    MhtmlMessage message;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find("\r\n", at);
        if (end == std::string::npos)
            end = text.size();
        message.longestLine = std::max(message.longestLine, end - at);
        at = end + 2;
    }
    size_t headerEnd = text.find("\r\n\r\n");
    if (headerEnd == std::string::npos)
        return message;
    message.headers = ReadHeaders(text.substr(0, headerEnd));
    message.type = message.headers["Content-Type"];
    std::smatch match;
    if (!std::regex_search(message.type, match, std::regex("boundary=\"([^\"]+)\"")))
        return message;
    message.boundary = match[1];
    const std::string delimiter = "--" + message.boundary;
    for (size_t at = text.find(delimiter); at != std::string::npos; at = text.find(delimiter, at + 1))
        ++message.boundaryCount;
    size_t at = text.find(delimiter + "\r\n", headerEnd);
    while (at != std::string::npos) {
        size_t start = at + delimiter.size() + 2;
        size_t next = text.find("\r\n" + delimiter, start);
        if (next == std::string::npos)
            break;
        std::string part = text.substr(start, next - start);
        size_t split = part.find("\r\n\r\n");
        MhtmlMessage::Part decoded;
        decoded.headers = ReadHeaders(part.substr(0, split));
        std::string body = split == std::string::npos ? "" : part.substr(split + 4);
        decoded.body = decoded.headers["Content-Transfer-Encoding"] == "base64" ? DecodeBase64(body)
                                                                                : DecodeQuotedPrintable(body);
        message.parts.push_back(std::move(decoded));
        at = text.compare(next + 2 + delimiter.size(), 2, "--") == 0 ? std::string::npos : next + 2;
    }
    return message;
}

} // namespace pagestow::testing
