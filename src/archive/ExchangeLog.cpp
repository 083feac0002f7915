// The exchange log: what the engines recorded of each HTTP exchange, until the archive takes it.

#include "archive/Exchange.h"

#include "base/Ascii.h"

#include <cerrno>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

namespace pagestow::archive {

ExchangeLog::ExchangeLog(std::filesystem::path folder)
    : m_folder(std::move(folder))
{
}

ExchangeLog::~ExchangeLog()
{
    std::error_code ignored;
    std::filesystem::remove_all(m_folder, ignored);
}

ExchangeLog::BodyWriter::BodyWriter(std::filesystem::path file)
    : m_file(std::move(file))
{
}

ExchangeLog::BodyWriter::~BodyWriter()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        ::unlink(m_file.c_str());
    }
}

bool ExchangeLog::BodyWriter::Write(std::string_view bytes)
{
    if (m_failed)
        return false;
    m_size += bytes.size();
    if (m_fd < 0 && m_held.size() + bytes.size() <= kHeldBodyBytes) {
        m_held.append(bytes);
        return true;
    }
    if (m_fd < 0) {
        std::error_code ignored;
        std::filesystem::create_directories(m_file.parent_path(), ignored);
        m_fd = ::open(m_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (m_fd < 0) {
            m_failed = true;
            return false;
        }
        bytes = std::string_view(m_held.append(bytes));
    }
    while (!bytes.empty()) {
        ssize_t written = ::write(m_fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            m_failed = true;
            return false;
        }
        bytes.remove_prefix(std::size_t(written));
    }
    m_held.clear();
    m_held.shrink_to_fit();
    return true;
}

ExchangeBody ExchangeLog::BodyWriter::Finish()
{
    ExchangeBody body;
    if (m_failed)
        return body;
    body.size = m_size;
    if (m_fd < 0) {
        body.source = ExchangeBody::Source::Held;
        body.bytes = std::move(m_held);
        return body;
    }
    bool closed = ::close(m_fd) == 0;
    m_fd = -1;
    if (!closed) {
        ::unlink(m_file.c_str());
        m_failed = true;
        return {};
    }
    body.source = ExchangeBody::Source::File;
    body.file = m_file;
    return body;
}

std::unique_ptr<ExchangeLog::BodyWriter> ExchangeLog::BeginBody()
{
    std::lock_guard lock(m_mutex);
    return std::unique_ptr<BodyWriter>(new BodyWriter(m_folder / std::to_string(m_nextFile++)));
}

void ExchangeLog::Add(Exchange exchange, std::unique_ptr<BodyWriter> body)
{
    if (body) {
        exchange.body = body->Finish();
        if (body->Failed())
            exchange.complete = false;
    }
    std::lock_guard lock(m_mutex);
    m_exchanges.push_back(std::move(exchange));
}

std::vector<Exchange> ExchangeLog::Take()
{
    std::lock_guard lock(m_mutex);
    return std::exchange(m_exchanges, {});
}

void ExchangeLog::Clear()
{
    std::lock_guard lock(m_mutex);
    // Bodies of exchanges not taken yet stay: only files no waiting exchange names are removed.
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator(m_folder, error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        bool waiting = false;
        for (const Exchange& exchange : m_exchanges)
            waiting = waiting || exchange.body.file == it->path();
        if (!waiting) {
            std::error_code ignored;
            std::filesystem::remove(it->path(), ignored);
        }
    }
}

std::size_t ExchangeLog::Size() const
{
    std::lock_guard lock(m_mutex);
    return m_exchanges.size();
}

std::string_view HeaderValue(const std::vector<HeaderField>& headers, std::string_view name)
{
    for (const auto& [field, value] : headers)
        if (base::EqualsIgnoringAsciiCase(field, name))
            return value;
    return {};
}

} // namespace pagestow::archive
