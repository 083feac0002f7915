#include "engine/static/BoundedParse.h"

#include "base/Ascii.h"
#include "offline/GumboArena.h"

#include <gumbo.h>

#include <algorithm>
#include <csetjmp>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace pagestow::engine::static_engine {
namespace {
    using Clock = std::chrono::steady_clock;

    using base::IsHtmlSpace;

    bool IsLetter(char c)
    {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    }

    bool OneOf(std::string_view name, std::initializer_list<std::string_view> names)
    {
        return std::find(names.begin(), names.end(), name) != names.end();
    }

    bool IsVoid(std::string_view name)
    {
        return OneOf(name,
            { "area", "base", "basefont", "bgsound", "br", "col", "embed", "frame", "hr", "image", "img",
                "input", "keygen", "link", "meta", "param", "source", "track", "wbr" });
    }

    // Start tags that close an open p first.
    bool ClosesParagraph(std::string_view name)
    {
        return OneOf(name,
            { "address", "article", "aside", "blockquote", "center", "details", "dialog", "dir", "div", "dl",
                "fieldset", "figcaption", "figure", "footer", "form", "h1", "h2", "h3", "h4", "h5", "h6",
                "header", "hgroup", "hr", "listing", "main", "menu", "nav", "ol", "p", "plaintext", "pre",
                "section", "summary", "table", "ul", "li", "dd", "dt", "xmp" });
    }

    bool IsRawText(std::string_view name)
    {
        return OneOf(
            name, { "script", "style", "xmp", "iframe", "noembed", "noframes", "textarea", "title" });
    }

    bool IsTablePart(std::string_view name)
    {
        return OneOf(name, { "caption", "colgroup", "tbody", "thead", "tfoot", "tr", "td", "th" });
    }

    // A model of the tree builder's stack of open elements, good enough to tell how deep the real
    // tree gets; the markup is copied to m_out only once something in it has to change.
    class TreeModel {
    public:
        explicit TreeModel(std::string_view in)
            : m_in(in)
        {
        }

        std::optional<std::string> Run();

    private:
        size_t Depth() const { return m_stack.size() + 2; } // html and body are always there
        bool InForeign() const { return m_foreign > 0; }
        bool HasTable() const { return std::find(m_stack.begin(), m_stack.end(), "table") != m_stack.end(); }
        void Push(std::string name);
        void PopTo(size_t size);
        // Pops through the nearest open name above the first of stops, if there is one.
        void CloseNearest(std::initializer_list<std::string_view> names,
            std::initializer_list<std::string_view> stops = { "table", "template", "html" });
        void StartTag(std::string_view name, bool selfClosing, size_t tagStart);
        void EndTag(std::string_view name);
        // Copies the input up to offset into the output and marks the output as changed.
        void CopyTo(size_t offset);

        // Reads a tag's attributes from m_pos; true when the tag ends before the input does.
        bool ReadAttributes(bool& selfClosing, int& count, size_t& keptEnd);

        std::string_view m_in;
        size_t m_pos = 0;
        std::vector<std::string> m_stack;
        int m_foreign = 0;
        std::string m_out;
        size_t m_copied = 0;
        bool m_changed = false;
    };

    void TreeModel::Push(std::string name)
    {
        if (name == "svg" || name == "math")
            ++m_foreign;
        m_stack.push_back(std::move(name));
    }

    void TreeModel::PopTo(size_t size)
    {
        while (m_stack.size() > size) {
            if (m_stack.back() == "svg" || m_stack.back() == "math")
                --m_foreign;
            m_stack.pop_back();
        }
    }

    void TreeModel::CloseNearest(
        std::initializer_list<std::string_view> names, std::initializer_list<std::string_view> stops)
    {
        for (size_t i = m_stack.size(); i-- > 0;) {
            if (OneOf(m_stack[i], names)) {
                PopTo(i);
                return;
            }
            if (OneOf(m_stack[i], stops))
                return;
        }
    }

    void TreeModel::CopyTo(size_t offset)
    {
        if (offset > m_copied) {
            m_out.append(m_in.substr(m_copied, offset - m_copied));
            m_copied = offset;
        }
        m_changed = true;
    }

    void TreeModel::StartTag(std::string_view name, bool selfClosing, size_t tagStart)
    {
        if (OneOf(name, { "html", "head", "body" }))
            return;
        if (InForeign()) {
            // In svg and math, "/>" ends the element at once.
            if (selfClosing)
                return;
        } else {
            if (ClosesParagraph(name))
                CloseNearest({ "p" }, { "table", "template", "html", "button", "td", "th", "caption" });
            if (IsTablePart(name) && !HasTable())
                return;
            if (name == "li")
                CloseNearest({ "li" }, { "ul", "ol", "menu", "table", "td", "th" });
            else if (name == "dd" || name == "dt")
                CloseNearest({ "dd", "dt" }, { "dl", "table", "td", "th" });
            else if (name == "td" || name == "th")
                CloseNearest({ "td", "th" });
            else if (name == "tr")
                CloseNearest({ "tr" });
            else if (OneOf(name, { "tbody", "thead", "tfoot" }))
                CloseNearest({ "tbody", "thead", "tfoot" });
            else if (name == "option")
                CloseNearest({ "option" }, { "select", "html" });
            else if (name == "optgroup")
                CloseNearest({ "option", "optgroup" }, { "select", "html" });
            else if (OneOf(name, { "a", "nobr", "button", "form" }))
                CloseNearest({ name });
            else if (OneOf(name, { "h1", "h2", "h3", "h4", "h5", "h6" }) && !m_stack.empty()
                && OneOf(m_stack.back(), { "h1", "h2", "h3", "h4", "h5", "h6" }))
                PopTo(m_stack.size() - 1);
        }
        // Too deep: the deepest open element is closed first, so this one becomes its sibling.
        if (!m_stack.empty() && Depth() >= size_t(kMaxTreeDepth)) {
            CopyTo(tagStart);
            m_out += "</" + m_stack.back() + ">";
            PopTo(m_stack.size() - 1);
        }
        if (!IsVoid(name) || InForeign())
            Push(std::string(name));
    }

    void TreeModel::EndTag(std::string_view name)
    {
        if (OneOf(name, { "html", "head", "body", "br" }))
            return;
        for (size_t i = m_stack.size(); i-- > 0;) {
            if (m_stack[i] == name) {
                PopTo(i);
                return;
            }
        }
    }

    bool TreeModel::ReadAttributes(bool& selfClosing, int& count, size_t& keptEnd)
    {
        selfClosing = false;
        count = 0;
        keptEnd = m_pos;
        const size_t n = m_in.size();
        while (m_pos < n) {
            char c = m_in[m_pos];
            if (IsHtmlSpace(c)) {
                ++m_pos;
                continue;
            }
            if (c == '>') {
                ++m_pos;
                return true;
            }
            if (c == '/') {
                ++m_pos;
                selfClosing = m_pos < n && m_in[m_pos] == '>';
                continue;
            }
            selfClosing = false;
            // The name: up to a blank, "/", ">" or "=" (a first "=" belongs to the name).
            ++m_pos;
            while (m_pos < n && !IsHtmlSpace(m_in[m_pos]) && m_in[m_pos] != '/' && m_in[m_pos] != '>'
                && m_in[m_pos] != '=')
                ++m_pos;
            size_t after = m_pos;
            while (after < n && IsHtmlSpace(m_in[after]))
                ++after;
            if (after < n && m_in[after] == '=') {
                m_pos = after + 1;
                while (m_pos < n && IsHtmlSpace(m_in[m_pos]))
                    ++m_pos;
                if (m_pos < n && (m_in[m_pos] == '"' || m_in[m_pos] == '\'')) {
                    size_t close = m_in.find(m_in[m_pos], m_pos + 1);
                    if (close == std::string_view::npos)
                        return false;
                    m_pos = close + 1;
                } else {
                    while (m_pos < n && !IsHtmlSpace(m_in[m_pos]) && m_in[m_pos] != '>')
                        ++m_pos;
                }
            }
            if (++count <= kMaxAttributes)
                keptEnd = m_pos;
        }
        return false;
    }

    std::optional<std::string> TreeModel::Run()
    {
        const size_t n = m_in.size();
        while (m_pos < n) {
            size_t open = m_in.find('<', m_pos);
            if (open == std::string_view::npos || open + 1 >= n)
                break;
            m_pos = open + 1;
            char next = m_in[m_pos];
            if (next == '!') {
                if (m_in.compare(m_pos, 3, "!--") == 0) {
                    size_t end = m_in.find("-->", m_pos + 1);
                    m_pos = end == std::string_view::npos ? n : end + 3;
                } else {
                    size_t end = m_in.find('>', m_pos);
                    m_pos = end == std::string_view::npos ? n : end + 1;
                }
                continue;
            }
            if (next == '?') {
                size_t end = m_in.find('>', m_pos);
                m_pos = end == std::string_view::npos ? n : end + 1;
                continue;
            }
            bool end = next == '/';
            if (end)
                ++m_pos;
            if (m_pos >= n || !IsLetter(m_in[m_pos])) {
                if (end) {
                    size_t close = m_in.find('>', m_pos);
                    m_pos = close == std::string_view::npos ? n : close + 1;
                }
                continue;
            }
            std::string name;
            while (m_pos < n && !IsHtmlSpace(m_in[m_pos]) && m_in[m_pos] != '/' && m_in[m_pos] != '>')
                name += base::LowerAscii(m_in[m_pos++]);
            bool selfClosing = false;
            int count = 0;
            size_t keptEnd = 0;
            if (!ReadAttributes(selfClosing, count, keptEnd))
                break; // a tag cut off by the end of the input is no tag
            if (end)
                EndTag(name);
            else
                StartTag(name, selfClosing, open);
            if (count > kMaxAttributes) {
                CopyTo(keptEnd);
                m_out += selfClosing ? "/>" : ">";
                m_copied = m_pos;
            }
            if (end)
                continue;
            if (InForeign())
                continue;
            if (name == "plaintext")
                break;
            if (IsRawText(name)) {
                // The text runs to the matching end tag.
                size_t at = m_pos;
                for (;;) {
                    size_t close = m_in.find("</", at);
                    if (close == std::string_view::npos) {
                        m_pos = n;
                        break;
                    }
                    size_t i = 0;
                    while (i < name.size() && close + 2 + i < n
                        && base::LowerAscii(m_in[close + 2 + i]) == name[i])
                        ++i;
                    size_t after = close + 2 + i;
                    if (i == name.size()
                        && (after >= n || IsHtmlSpace(m_in[after]) || m_in[after] == '/'
                            || m_in[after] == '>')) {
                        m_pos = close;
                        break;
                    }
                    at = close + 2;
                }
            }
        }
        if (!m_changed)
            return std::nullopt;
        CopyTo(n);
        return std::move(m_out);
    }

} // namespace

std::optional<std::string> BoundTreeInput(std::string_view html)
{
    return TreeModel(html).Run();
}

// The parse's memory: an arena, so the tree is freed without walking it, and the bounds checked as it
// grows.
struct BoundedParse::Arena {
    ParseBounds bounds;
    offline::GumboArena memory;
    unsigned calls = 0;
    ParseStop stop = ParseStop::None;
    std::jmp_buf escape;

    [[noreturn]] void Escape(ParseStop why)
    {
        stop = why;
        std::longjmp(escape, 1);
    }

    static void* Allocate(void* user, size_t size)
    {
        auto* arena = static_cast<Arena*>(user);
        if (++arena->calls % 64 == 0) {
            if (arena->bounds.interrupted && arena->bounds.interrupted->load(std::memory_order_relaxed))
                arena->Escape(ParseStop::Interrupted);
            if (Clock::now() >= arena->bounds.deadline)
                arena->Escape(ParseStop::TimedOut);
        }
        if (arena->memory.HeldBytes() + arena->memory.GrowthFor(size) > arena->bounds.memoryBytes)
            arena->Escape(ParseStop::OverBudget);
        void* block = arena->memory.Allocate(size);
        if (!block)
            arena->Escape(ParseStop::OverBudget);
        return block;
    }

    static void Deallocate(void* user, void* pointer)
    {
        static_cast<Arena*>(user)->memory.Free(pointer);
    }
};

namespace {
    // Runs gumbo; a bound reached inside it jumps back here. Only gumbo's own C frames and the
    // allocator lie between, and none of them owns anything outside the arena.
    GumboOutput* RunGumbo(const GumboOptions* options, std::string_view text, std::jmp_buf& escape)
    {
        if (setjmp(escape) != 0)
            return nullptr;
        return gumbo_parse_with_options(options, text.data(), text.size());
    }
}

BoundedParse::BoundedParse(std::string_view text, const ParseBounds& bounds)
    : m_arena(std::make_unique<Arena>())
{
    m_arena->bounds = bounds;
    GumboOptions options = kGumboDefaultOptions;
    options.max_errors = 0;
    options.allocator = &Arena::Allocate;
    options.deallocator = &Arena::Deallocate;
    options.userdata = m_arena.get();
    m_output = RunGumbo(&options, text, m_arena->escape);
}

BoundedParse::~BoundedParse() = default;

ParseStop BoundedParse::Stop() const
{
    return m_arena->stop;
}

std::uint64_t BoundedParse::HeldBytes() const
{
    return m_arena->memory.HeldBytes();
}

} // namespace pagestow::engine::static_engine
