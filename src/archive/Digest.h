#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace pagestow::archive {

// A running SHA-1 or SHA-256 over bytes given in pieces (OpenSSL's EVP interface).
class Digest {
public:
    enum class Algorithm { Sha1, Sha256 };
    explicit Digest(Algorithm algorithm);
    ~Digest();
    Digest(Digest&&) noexcept;
    Digest& operator=(Digest&&) noexcept;

    void Update(std::string_view bytes);
    // The digest's bytes; the digest then starts over.
    std::string Finish();

private:
    struct Context;
    std::unique_ptr<Context> m_context;
    Algorithm m_algorithm;
};

// RFC 4648 base32 in upper case with padding, as WARC digests are written.
std::string Base32(std::string_view bytes);
// Lower-case hexadecimal, as the WACZ package writes its hashes.
std::string Hex(std::string_view bytes);
// "sha1:" + base32 of the SHA-1 of the bytes digested.
std::string WarcDigest(Digest& sha1);

} // namespace pagestow::archive
