#include "engine/EngineCache.h"

#include "base/Ascii.h"
#include "base/Owned.h"

#include <curl/curl.h>
#include <idn2.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <random>
#include <spawn.h>
#include <string>
#include <sys/types.h>
#include <unistd.h>
#include <unordered_map>

namespace pagestow::engine {
namespace fs = std::filesystem;

namespace {

    // Addresses longer than this always take the parser, which bounds what it accepts.
    constexpr size_t kFastCanonicalLength = 64 * 1024;

    // Writes all of bytes to fd; false on any failure.
    bool WriteAllTo(int fd, std::string_view bytes)
    {
        const char* data = bytes.data();
        size_t left = bytes.size();
        while (left > 0) {
            ssize_t written = ::write(fd, data, left);
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0)
                return false;
            data += written;
            left -= size_t(written);
        }
        return true;
    }

    // Opens a body's file for writing. The folder is made with the cache; only when a file cannot be
    // made there is it made again (a look at the folder for every body is a tenth of the time of a
    // page of small images).
    int OpenBodyFile(const fs::path& file, const fs::path& folder)
    {
        int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0) {
            std::error_code error;
            fs::create_directories(folder, error);
            fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        }
        return fd;
    }

    using base::IsHexDigit;

    char UpperHex(char c)
    {
        return (c >= 'a' && c <= 'f') ? char(c - 'a' + 'A') : c;
    }

    void AppendPercentEncoded(std::string& out, unsigned char c)
    {
        static constexpr char kHex[] = "0123456789ABCDEF";
        out += '%';
        out += kHex[c >> 4];
        out += kHex[c & 0x0F];
    }

    // The schemes whose "\" a browser reads as "/".
    bool IsSpecialScheme(std::string_view scheme)
    {
        static constexpr std::string_view kSpecial[] = { "http", "https", "ftp", "ws", "wss", "file" };
        for (std::string_view special : kSpecial) {
            if (scheme.size() == special.size()
                && std::equal(scheme.begin(), scheme.end(), special.begin(),
                    [](char a, char b) { return base::LowerAscii(a) == b; }))
                return true;
        }
        return false;
    }

    // A character that may stand as it is in the path or query of a canonical address: the
    // unreserved and sub-delimiter characters, ":" and "@" (RFC 3986 "pchar"), and "/".
    bool IsPlainAddressCharacter(char c)
    {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
            return true;
        return std::string_view("-._~!$&'()*+,;=:@/").find(c) != std::string_view::npos;
    }

    // A host name the canonical form writes as it is: labels of lower-case letters, digits and
    // hyphens. A name whose last label starts with a digit is an IPv4 address, which the canonical
    // form writes as four decimal numbers ("127.1" and "0x7f.0.0.1" are other forms of it).
    bool IsPlainHost(std::string_view host)
    {
        if (host.empty() || host.size() > 253)
            return false;
        size_t lastLabel = host.rfind('.');
        lastLabel = lastLabel == std::string_view::npos ? 0 : lastLabel + 1;
        bool numeric = lastLabel < host.size() && host[lastLabel] >= '0' && host[lastLabel] <= '9';
        if (!numeric) {
            size_t labelStart = 0;
            for (size_t i = 0; i <= host.size(); ++i) {
                if (i == host.size() || host[i] == '.') {
                    size_t length = i - labelStart;
                    if (length == 0 || length > 63 || host[labelStart] == '-' || host[i - 1] == '-')
                        return false;
                    labelStart = i + 1;
                    continue;
                }
                char c = host[i];
                if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'))
                    return false;
            }
            return true;
        }
        int parts = 0;
        size_t start = 0;
        for (size_t i = 0; i <= host.size(); ++i) {
            if (i < host.size() && host[i] != '.') {
                if (host[i] < '0' || host[i] > '9' || i - start >= 3)
                    return false;
                continue;
            }
            std::string_view part = host.substr(start, i - start);
            if (part.empty() || (part.size() > 1 && part[0] == '0') || std::stoi(std::string(part)) > 255)
                return false;
            ++parts;
            start = i + 1;
        }
        return parts == 4;
    }

    // Whether address is already in the canonical form, so that parsing it would give it back as it
    // is: http or https in lower case, a plain host, a port other than the scheme's default, a path,
    // no user information, no fragment, no dot segment, and only plain characters and upper-case
    // escapes in the path and query. Most addresses a page names are; anything else takes the
    // parser.
    bool IsCanonicalHttpAddress(std::string_view address)
    {
        if (address.size() > kFastCanonicalLength)
            return false;
        std::string_view rest;
        std::string_view defaultPort;
        if (address.rfind("http://", 0) == 0) {
            rest = address.substr(7);
            defaultPort = "80";
        } else if (address.rfind("https://", 0) == 0) {
            rest = address.substr(8);
            defaultPort = "443";
        } else {
            return false;
        }
        size_t pathStart = rest.find('/');
        if (pathStart == std::string_view::npos)
            return false;
        std::string_view authority = rest.substr(0, pathStart);
        size_t colon = authority.find(':');
        if (colon != std::string_view::npos) {
            std::string_view port = authority.substr(colon + 1);
            if (port.empty() || port.size() > 5 || port[0] == '0' || port == defaultPort
                || !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })
                || std::stoi(std::string(port)) > 65535)
                return false;
            authority = authority.substr(0, colon);
        }
        if (!IsPlainHost(authority))
            return false;

        bool inQuery = false;
        size_t segmentStart = pathStart;
        for (size_t i = pathStart; i <= rest.size(); ++i) {
            bool end = i == rest.size();
            char c = end ? '/' : rest[i];
            if (!inQuery && (c == '/' || c == '?')) {
                // The segment that ends here: "." and ".." are removed by the parser.
                std::string_view segment = rest.substr(segmentStart + 1, i - segmentStart - 1);
                if (i > pathStart && (segment == "." || segment == ".."))
                    return false;
                segmentStart = i;
                inQuery = c == '?';
                continue;
            }
            if (end)
                break;
            if (c == '%') {
                // An upper-case escape, and none of a dot (which the parser may read as one).
                if (i + 2 >= rest.size() || !IsHexDigit(rest[i + 1]) || !IsHexDigit(rest[i + 2])
                    || (rest[i + 1] >= 'a' && rest[i + 1] <= 'f')
                    || (rest[i + 2] >= 'a' && rest[i + 2] <= 'f')
                    || (rest[i + 1] == '2' && rest[i + 2] == 'E'))
                    return false;
                i += 2;
                continue;
            }
            if (!IsPlainAddressCharacter(c) && !(inQuery && c == '?'))
                return false;
        }
        // The parser drops an empty query.
        if (address.back() == '?' && inQuery && address.find('?') == address.size() - 1)
            return false;
        return true;
    }

    // Prepares a text the way a browser does before parsing it as an address: surrounding blanks and
    // controls go, tabs and line breaks inside go, "\" becomes "/" in the path of a special scheme,
    // and blanks, controls and non-ASCII bytes after the authority are percent-encoded. The
    // authority is left alone so that an international host name reaches the IDN conversion.
    std::string PrepareAddress(std::string_view address)
    {
        while (!address.empty() && (unsigned char)address.front() <= 0x20)
            address.remove_prefix(1);
        while (!address.empty() && (unsigned char)address.back() <= 0x20)
            address.remove_suffix(1);

        std::string text;
        text.reserve(address.size());
        for (char c : address) {
            if (c != '\t' && c != '\n' && c != '\r')
                text += c;
        }

        size_t colon = text.find(':');
        size_t authorityEnd = 0;
        bool special = false;
        if (colon != std::string::npos) {
            special = IsSpecialScheme(std::string_view(text).substr(0, colon));
            size_t start = colon + 1;
            auto isSlash = [&](size_t i) {
                return i < text.size() && (text[i] == '/' || (special && text[i] == '\\'));
            };
            if (isSlash(start) && isSlash(start + 1)) {
                authorityEnd = text.find_first_of(special ? "/\\?#" : "/?#", start + 2);
                if (authorityEnd == std::string::npos)
                    authorityEnd = text.size();
                if (special) {
                    text[start] = '/';
                    text[start + 1] = '/';
                }
            } else {
                authorityEnd = start;
            }
        }

        std::string out = text.substr(0, authorityEnd);
        bool inPath = true;
        for (size_t i = authorityEnd; i < text.size(); ++i) {
            unsigned char c = (unsigned char)text[i];
            if (c == '?' || c == '#')
                inPath = false;
            if (c <= 0x20 || c >= 0x7F)
                AppendPercentEncoded(out, c);
            else if (special && inPath && c == '\\')
                out += '/';
            else
                out += char(c);
        }
        return out;
    }

    // Percent escapes differ only in the case of their hex digits ("%e4" and "%E4" are the same
    // byte); the upper-case form is the one browsers write.
    void UpperCaseEscapes(std::string& address)
    {
        for (size_t i = 0; i + 2 < address.size(); ++i) {
            if (address[i] == '%' && IsHexDigit(address[i + 1]) && IsHexDigit(address[i + 2])) {
                address[i + 1] = UpperHex(address[i + 1]);
                address[i + 2] = UpperHex(address[i + 2]);
                i += 2;
            }
        }
    }

    using UrlHandle = base::Owned<CURLU, curl_url_cleanup>;

    std::optional<std::string> GetPart(CURLU* url, CURLUPart part, unsigned int flags)
    {
        char* text = nullptr;
        if (curl_url_get(url, part, &text, flags) != CURLUE_OK || !text)
            return std::nullopt;
        std::string result(text);
        curl_free(text);
        return result;
    }

    std::string CanonicalHost(const std::string& host)
    {
        bool ascii = std::all_of(host.begin(), host.end(), [](char c) { return (unsigned char)c < 0x80; });
        if (!ascii) {
            char* converted = nullptr;
            if (idn2_to_ascii_8z(host.c_str(), &converted, IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL) == IDN2_OK
                && converted) {
                std::string result(converted);
                idn2_free(converted);
                return result;
            }
            idn2_free(converted);
        }
        std::string lower = host;
        for (char& c : lower)
            c = base::LowerAscii(c);
        return lower;
    }

    fs::path HomeFolder()
    {
        if (const char* home = std::getenv("HOME"); home && *home)
            return home;
        if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir && *entry->pw_dir)
            return entry->pw_dir;
        return fs::temp_directory_path();
    }

    fs::path CacheRoot()
    {
        if (const char* dir = std::getenv("PAGESTOW_CACHE_DIR"); dir && *dir)
            return dir;
        // A relative XDG_CACHE_HOME is invalid and is ignored, as the XDG rules say.
        if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg && *xdg == '/')
            return fs::path(xdg) / "pagestow";
        return HomeFolder() / ".cache" / "pagestow";
    }

    // The pid in a run folder's name "run-<pid>-<random>", or 0 when the name is not of that form.
    pid_t RunFolderPid(const std::string& name)
    {
        if (name.rfind("run-", 0) != 0)
            return 0;
        size_t end = name.find('-', 4);
        if (end == std::string::npos || end == 4 || end + 1 >= name.size())
            return 0;
        long long pid = 0;
        for (size_t i = 4; i < end; ++i) {
            if (name[i] < '0' || name[i] > '9' || pid > 1'000'000'000)
                return 0;
            pid = pid * 10 + (name[i] - '0');
        }
        return pid > 0 ? pid_t(pid) : 0;
    }

    bool ProcessAlive(pid_t pid)
    {
        return kill(pid, 0) == 0 || errno == EPERM;
    }

    std::string RandomSuffix()
    {
        std::random_device device;
        std::uniform_int_distribution<unsigned> digit(0, 35);
        std::string suffix;
        for (int i = 0; i < 8; ++i) {
            unsigned d = digit(device);
            suffix += char(d < 10 ? '0' + d : 'a' + (d - 10));
        }
        return suffix;
    }

    // Starts "rm -rf -- folder" without waiting for it; false when it could not be started.
    bool SpawnRemoval(const fs::path& folder)
    {
        posix_spawn_file_actions_t actions;
        if (posix_spawn_file_actions_init(&actions) != 0)
            return false;
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        std::string path = folder.string();
        char rm[] = "rm";
        char force[] = "-rf";
        char end[] = "--";
        char* arguments[] = { rm, force, end, path.data(), nullptr };
        pid_t pid = 0;
        int result = posix_spawn(&pid, "/bin/rm", &actions, nullptr, arguments, environ);
        posix_spawn_file_actions_destroy(&actions);
        return result == 0;
    }

    // The canonical forms worked out so far, by the exact text asked about: an address is
    // canonicalised when it is resolved, requested, indexed and looked up again by the capture, and
    // each time the parse costs more than the look-up here.
    class CanonicalMemo {
    public:
        std::optional<std::string> Find(std::string_view address)
        {
            std::lock_guard lock(m_mutex);
            auto it = m_forms.find(address);
            if (it == m_forms.end())
                return std::nullopt;
            return it->second;
        }
        void Remember(std::string_view address, const std::string& canonical)
        {
            std::lock_guard lock(m_mutex);
            if (m_forms.size() >= kLimit)
                m_forms.clear();
            m_forms.emplace(std::string(address), canonical);
        }
        static CanonicalMemo& Shared()
        {
            // Never destroyed: a cache torn down at exit may still ask.
            static CanonicalMemo* memo = new CanonicalMemo;
            return *memo;
        }

    private:
        struct Hash {
            using is_transparent = void;
            size_t operator()(std::string_view text) const { return std::hash<std::string_view>()(text); }
        };
        static constexpr size_t kLimit = 1 << 16;
        std::mutex m_mutex;
        std::unordered_map<std::string, std::string, Hash, std::equal_to<>> m_forms;
    };

    std::string CanonicalForm(std::string_view address);

} // namespace

EngineCache::EngineCache(fs::path folder)
    : m_folder(std::move(folder))
{
    std::error_code error;
    fs::create_directories(m_folder, error);
}

EngineCache::~EngineCache()
{
    StopWriter();
    std::error_code error;
    std::uint64_t files = 0;
    {
        std::lock_guard lock(m_mutex);
        files = m_nextFile;
    }
    // Removing many thousand files takes a noticeable moment that nobody needs to wait for: the
    // folder is renamed aside (still a folder of this run, so a later run removes it should the
    // removal die) and removed by a process of its own that outlives this one.
    if (files >= kBackgroundRemovalFiles) {
        fs::path aside = m_folder;
        aside += "-removing";
        if (::rename(m_folder.c_str(), aside.c_str()) == 0) {
            if (SpawnRemoval(aside))
                return;
            fs::remove_all(aside, error);
            return;
        }
    }
    fs::remove_all(m_folder, error);
}

void EngineCache::RemoveFoldersOfDeadRuns(const fs::path& root)
{
    std::error_code error;
    for (fs::directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
        pid_t pid = RunFolderPid(it->path().filename().string());
        if (pid == 0 || pid == getpid() || ProcessAlive(pid))
            continue;
        std::error_code ignored;
        if (it->is_directory(ignored) && !it->is_symlink(ignored))
            fs::remove_all(it->path(), ignored);
    }
}

std::unique_ptr<EngineCache> EngineCache::OpenForRun()
{
    fs::path root = CacheRoot();
    std::error_code error;
    fs::create_directories(root, error);
    RemoveFoldersOfDeadRuns(root);
    return std::make_unique<EngineCache>(root / ("run-" + std::to_string(getpid()) + "-" + RandomSuffix()));
}

EngineCache::Entry::Entry(EngineCache& cache, fs::path file)
    : m_cache(cache)
    , m_file(std::move(file))
{
}

EngineCache::Entry::~Entry()
{
    if (m_committed || !m_fd)
        return;
    m_fd.Reset();
    std::error_code error;
    fs::remove(m_file, error);
}

bool EngineCache::Entry::Write(std::string_view bytes)
{
    if (m_failed || m_committed)
        return false;
    if (!m_fd && m_held.size() + bytes.size() <= kHeldBodyBytes) {
        m_held.append(bytes);
        m_size += bytes.size();
        return true;
    }
    if (!m_fd) {
        std::string held = std::move(m_held);
        m_held = {};
        m_fd.Reset(OpenBodyFile(m_file, m_cache.m_folder));
        if (!m_fd || !WriteAllTo(m_fd.Get(), held)) {
            m_failed = true;
            return false;
        }
    }
    // Straight to the file: a stream's buffer only adds a copy, the bodies come in blocks already.
    if (!WriteAllTo(m_fd.Get(), bytes)) {
        m_failed = true;
        return false;
    }
    m_size += bytes.size();
    return true;
}

void EngineCache::Entry::Commit(const std::vector<std::string>& addresses)
{
    if (m_committed || m_failed)
        return;
    if (!m_fd) {
        m_committed = true;
        m_cache.WriteHeld({ m_file, std::move(m_held), addresses });
        return;
    }
    // A body that could not be written whole (or whose close reported a write-back error) is no
    // copy of the resource: it is not indexed, and the destructor removes its file.
    if (m_fd.Close() != 0) {
        m_failed = true;
        return;
    }
    m_committed = true;
    m_cache.Index(addresses, { m_file, m_size });
}

std::unique_ptr<EngineCache::Entry> EngineCache::BeginEntry()
{
    std::uint64_t number;
    {
        std::lock_guard lock(m_mutex);
        number = m_nextFile++;
    }
    return std::unique_ptr<Entry>(new Entry(*this, m_folder / ("body-" + std::to_string(number))));
}

void EngineCache::WriteHeld(QueuedBody body)
{
    std::unique_lock lock(m_mutex);
    if (m_stopping) {
        lock.unlock();
        if (WriteBodyFile(body))
            Index(body.addresses, { body.file, body.bytes.size() });
        return;
    }
    // Bodies are indexed in the order of their commits, so a commit waits for room in the queue.
    if (m_queuedBytes + body.bytes.size() > kQueuedBodyBytes && m_writerWaiting)
        m_work.notify_one();
    m_written.wait(
        lock, [&] { return m_queue.empty() || m_queuedBytes + body.bytes.size() <= kQueuedBodyBytes; });
    m_queuedBytes += body.bytes.size();
    m_queue.push_back(std::move(body));
    // The writer is woken for a batch, not for every body: waking it costs both threads a system call
    // and a switch, which on a page of thousands of small images was a tenth of the loading thread's
    // time. Whoever needs the files waits for them (WaitForWrites), and that wakes it for the rest.
    if (!m_writer.joinable())
        m_writer = std::thread([this] { RunWriter(); });
    else if (m_writerWaiting && (m_queue.size() >= kWakeBodies || m_queuedBytes >= kWakeBytes))
        m_work.notify_one();
}

bool EngineCache::WriteBodyFile(const QueuedBody& body)
{
    base::UniqueFd fd(OpenBodyFile(body.file, m_folder));
    if (fd && WriteAllTo(fd.Get(), body.bytes) && fd.Close() == 0)
        return true;
    fd.Reset();
    std::error_code error;
    fs::remove(body.file, error);
    return false;
}

void EngineCache::RunWriter()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_writerWaiting = true;
        m_work.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
        m_writerWaiting = false;
        if (m_queue.empty())
            return;
        // Everything queued so far in one go: the loading thread is woken once a batch, not once a
        // body.
        std::deque<QueuedBody> batch;
        batch.swap(m_queue);
        m_writing = true;
        lock.unlock();
        std::vector<bool> written;
        written.reserve(batch.size());
        for (const QueuedBody& body : batch)
            written.push_back(WriteBodyFile(body));
        lock.lock();
        for (std::size_t i = 0; i < batch.size(); ++i) {
            if (written[i])
                IndexLocked(batch[i].addresses, { std::move(batch[i].file), batch[i].bytes.size() });
            m_queuedBytes -= batch[i].bytes.size();
        }
        m_writing = false;
        m_written.notify_all();
    }
}

void EngineCache::WaitForWrites(std::unique_lock<std::mutex>& lock) const
{
    if (!m_queue.empty() && m_writerWaiting)
        m_work.notify_one();
    m_written.wait(lock, [this] { return m_queue.empty() && !m_writing; });
}

void EngineCache::StopWriter()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_work.notify_one();
    if (m_writer.joinable())
        m_writer.join();
}

void EngineCache::Store(const std::vector<std::string>& addresses, std::string_view bytes)
{
    auto entry = BeginEntry();
    if (entry->Write(bytes) || bytes.empty())
        entry->Commit(addresses);
}

std::optional<fs::path> EngineCache::Lookup(std::string_view address) const
{
    auto body = Find(address);
    if (!body)
        return std::nullopt;
    return std::move(body->file);
}

std::optional<CachedBody> EngineCache::Find(std::string_view address) const
{
    std::string key = Canonicalize(address);
    if (key.empty())
        return std::nullopt;
    std::unique_lock lock(m_mutex);
    WaitForWrites(lock);
    auto it = m_index.find(key);
    if (it == m_index.end())
        return std::nullopt;
    return m_bodies[it->second];
}

void EngineCache::Clear()
{
    std::unique_lock lock(m_mutex);
    WaitForWrites(lock);
    std::error_code error;
    for (const CachedBody& body : m_bodies)
        fs::remove(body.file, error);
    m_bodies.clear();
    m_index.clear();
}

void EngineCache::Index(const std::vector<std::string>& addresses, CachedBody body)
{
    std::lock_guard lock(m_mutex);
    IndexLocked(addresses, std::move(body));
}

void EngineCache::IndexLocked(const std::vector<std::string>& addresses, CachedBody body)
{
    std::size_t position = m_bodies.size();
    bool indexed = false;
    for (const std::string& address : addresses) {
        std::string key = Canonicalize(address);
        if (key.empty())
            continue;
        m_index.insert_or_assign(std::move(key), position);
        indexed = true;
    }
    if (indexed)
        m_bodies.push_back(std::move(body));
}

bool EngineCache::IsCanonical(std::string_view address)
{
    return IsCanonicalHttpAddress(address);
}

std::string EngineCache::Canonicalize(std::string_view address)
{
    if (IsCanonicalHttpAddress(address))
        return std::string(address);
    CanonicalMemo& memo = CanonicalMemo::Shared();
    if (auto known = memo.Find(address))
        return std::move(*known);
    std::string canonical = CanonicalForm(address);
    memo.Remember(address, canonical);
    return canonical;
}

namespace {

    std::string CanonicalForm(std::string_view address)
    {
        std::string prepared = PrepareAddress(address);
        if (prepared.empty())
            return {};

        UrlHandle url(curl_url());
        if (!url)
            return {};
        // 1. Parse without guessing a scheme: a text without one is no address of the cache. Dot
        //    segments are removed here and the scheme is lower-cased.
        if (curl_url_set(url.get(), CURLUPART_URL, prepared.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
            return {};
        // 2. Host names compare without regard to letter case (curl keeps the case it was given), and
        //    an international name in its ASCII form, as the engines put it on the wire.
        if (auto host = GetPart(url.get(), CURLUPART_HOST, 0)) {
            std::string canonicalHost = CanonicalHost(*host);
            if (canonicalHost != *host
                && curl_url_set(url.get(), CURLUPART_HOST, canonicalHost.c_str(), 0) != CURLUE_OK)
                return {};
        }
        // 3. The fragment never reaches the server, and user information never names another resource
        //    (browsers send it as a header, if at all; the address they request is without it).
        curl_url_set(url.get(), CURLUPART_FRAGMENT, nullptr, 0);
        curl_url_set(url.get(), CURLUPART_USER, nullptr, 0);
        curl_url_set(url.get(), CURLUPART_PASSWORD, nullptr, 0);
        // 4. Without the default port.
        auto canonical = GetPart(url.get(), CURLUPART_URL, CURLU_NO_DEFAULT_PORT);
        if (!canonical)
            return {};
        UpperCaseEscapes(*canonical);
        return *canonical;
    }

} // namespace

std::uint32_t GetCachedFileName(const EngineCache& cache, const std::string& address, std::string& cacheFile)
{
    auto body = cache.Find(address);
    if (!body)
        return kFileNotFound;
    cacheFile = body->file.string();
    return 0;
}

} // namespace pagestow::engine
