#pragma once

#include "archive/FileOutput.h"

#include <memory>
#include <string>
#include <string_view>

namespace pagestow::archive {

// Deflates bytes into gzip members written to a file one after another, at the fastest level: a
// capture's images and fonts do not compress anyway, and writing the archive must add little to it.
class GzipWriter {
public:
    explicit GzipWriter(FileOutput& out);
    ~GzipWriter();

    // Adds bytes to the member being written (a member starts with the first bytes after EndMember).
    bool Add(std::string_view bytes);
    // Ends the member: its trailer is written and the next bytes begin a new one.
    bool EndMember();
    // Whether the bytes added from now on are stored as they are (for bytes that do not compress)
    // rather than deflated; the member stays one gzip member either way.
    bool SetStored(bool stored);

private:
    bool Deflate(std::string_view bytes, int flush);
    struct Stream;
    FileOutput& m_out;
    std::unique_ptr<Stream> m_stream;
    std::string m_buffer;
    bool m_stored = false;
};

} // namespace pagestow::archive
