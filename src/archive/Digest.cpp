#include "archive/Digest.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace pagestow::archive {

struct Digest::Context {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context { EVP_MD_CTX_new(), &EVP_MD_CTX_free };
};

namespace {

    const EVP_MD* MethodOf(Digest::Algorithm algorithm)
    {
        return algorithm == Digest::Algorithm::Sha1 ? EVP_sha1() : EVP_sha256();
    }

} // namespace

Digest::Digest(Algorithm algorithm)
    : m_context(std::make_unique<Context>())
    , m_algorithm(algorithm)
{
    if (!m_context->context || EVP_DigestInit_ex(m_context->context.get(), MethodOf(algorithm), nullptr) != 1)
        throw std::runtime_error("cannot start a message digest");
}

Digest::~Digest() = default;
Digest::Digest(Digest&&) noexcept = default;
Digest& Digest::operator=(Digest&&) noexcept = default;

void Digest::Update(std::string_view bytes)
{
    EVP_DigestUpdate(m_context->context.get(), bytes.data(), bytes.size());
}

std::string Digest::Finish()
{
    unsigned char bytes[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_DigestFinal_ex(m_context->context.get(), bytes, &size);
    EVP_DigestInit_ex(m_context->context.get(), MethodOf(m_algorithm), nullptr);
    return std::string(reinterpret_cast<const char*>(bytes), size);
}

std::string Base32(std::string_view bytes)
{
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
    std::string out;
    unsigned buffer = 0;
    int bits = 0;
    for (unsigned char byte : bytes) {
        buffer = (buffer << 8) | byte;
        bits += 8;
        while (bits >= 5) {
            out += kAlphabet[(buffer >> (bits - 5)) & 31];
            bits -= 5;
        }
    }
    if (bits > 0)
        out += kAlphabet[(buffer << (5 - bits)) & 31];
    while (out.size() % 8 != 0)
        out += '=';
    return out;
}

std::string Hex(std::string_view bytes)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char byte : bytes) {
        out += kDigits[byte >> 4];
        out += kDigits[byte & 15];
    }
    return out;
}

std::string WarcDigest(Digest& sha1)
{
    return "sha1:" + Base32(sha1.Finish());
}

} // namespace pagestow::archive
