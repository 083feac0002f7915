#include "offline/CssReferences.h"

#include "base/Ascii.h"
#include "offline/CssTokenizer.h"

#include <vector>

namespace pagestow::offline {
namespace {

    // Functions nest no deeper than this for our purposes; deeper ones are only counted.
    constexpr std::size_t kMaxTrackedFunctions = 256;

    class ReferenceScanner {
    public:
        ReferenceScanner(std::string_view css, CssSource source)
            : m_tokenizer(css)
            , m_importsAllowed(source == CssSource::Stylesheet)
        {
        }

        void Run(const std::function<void(const CssReference&)>& visit)
        {
            for (;;) {
                CssToken token = m_tokenizer.Next();
                if (token.type == CssTokenType::EndOfFile)
                    return;
                Handle(token, visit);
            }
        }

    private:
        CssReferenceKind ContextKind() const
        {
            if (m_inImport)
                return CssReferenceKind::Import;
            return m_fontFaceDepth > 0 ? CssReferenceKind::Font : CssReferenceKind::Image;
        }

        void Emit(const CssToken& token, CssReferenceForm form,
            const std::function<void(const CssReference&)>& visit)
        {
            CssReference reference;
            reference.kind = ContextKind();
            reference.form = form;
            reference.value = token.value;
            reference.start = token.start;
            reference.end = token.end;
            if (m_inImport) {
                // Only the first address of an @import rule is the stylesheet; what follows are conditions.
                if (m_importDone)
                    return;
                m_importDone = true;
            }
            visit(reference);
        }

        std::string_view InnermostFunction() const
        {
            if (m_functions.empty() || m_untrackedFunctions > 0)
                return {};
            return m_functions.back().name;
        }

        // Whether the innermost function is at a place where an address may stand: the start of
        // url() or src(), the start of an image-set() candidate.
        bool AddressExpected() const
        {
            return !m_functions.empty() && m_untrackedFunctions == 0 && m_functions.back().addressExpected;
        }

        void TokenSeen(CssTokenType type)
        {
            if (m_functions.empty() || m_untrackedFunctions > 0)
                return;
            Function& function = m_functions.back();
            function.addressExpected = type == CssTokenType::Comma
                && (function.name == "image-set" || function.name == "-webkit-image-set");
        }

        void Handle(const CssToken& token, const std::function<void(const CssReference&)>& visit)
        {
            bool expected = AddressExpected();
            if (token.type != CssTokenType::Whitespace)
                TokenSeen(token.type);
            bool topLevel = m_depth == 0 && m_functions.empty() && m_untrackedFunctions == 0;
            switch (token.type) {
            case CssTokenType::Whitespace:
            case CssTokenType::Cdo:
            case CssTokenType::Cdc:
                return;
            case CssTokenType::AtKeyword: {
                std::string name = base::LowerAscii(token.value);
                if (topLevel && name == "import" && m_importsAllowed) {
                    m_inImport = true;
                    m_importDone = false;
                    return;
                }
                if (topLevel && (name == "charset" || name == "layer"))
                    return;
                if (topLevel)
                    m_importsAllowed = false;
                if (name == "font-face")
                    m_pendingFontFace = true;
                return;
            }
            case CssTokenType::Url:
                if (topLevel && !m_inImport)
                    m_importsAllowed = false;
                Emit(token, CssReferenceForm::UrlToken, visit);
                return;
            case CssTokenType::String: {
                std::string_view function = InnermostFunction();
                if (expected
                    && (function == "url" || function == "src" || function == "image-set"
                        || function == "-webkit-image-set"))
                    Emit(token, CssReferenceForm::String, visit);
                else if (m_inImport && topLevel)
                    Emit(token, CssReferenceForm::String, visit);
                return;
            }
            case CssTokenType::Function:
                if (topLevel && !m_inImport)
                    m_importsAllowed = false;
                PushFunction(base::LowerAscii(token.value));
                return;
            case CssTokenType::OpenParen:
                PushFunction(std::string());
                return;
            case CssTokenType::CloseParen:
                if (m_untrackedFunctions > 0)
                    --m_untrackedFunctions;
                else if (!m_functions.empty())
                    m_functions.pop_back();
                return;
            case CssTokenType::Semicolon:
                if (topLevel)
                    m_inImport = false;
                m_pendingFontFace = false;
                return;
            case CssTokenType::OpenCurly:
                m_importsAllowed = m_importsAllowed && !topLevel;
                m_inImport = false;
                ++m_depth;
                if (m_pendingFontFace && m_fontFaceDepth == 0)
                    m_fontFaceDepth = m_depth;
                m_pendingFontFace = false;
                return;
            case CssTokenType::CloseCurly:
                if (m_depth == 0)
                    return;
                if (m_fontFaceDepth == m_depth)
                    m_fontFaceDepth = 0;
                --m_depth;
                // A block closes every function still open inside it.
                m_functions.clear();
                m_untrackedFunctions = 0;
                return;
            default:
                if (topLevel && !m_inImport)
                    m_importsAllowed = false;
                return;
            }
        }

        void PushFunction(std::string name)
        {
            if (m_functions.size() < kMaxTrackedFunctions && m_untrackedFunctions == 0)
                m_functions.push_back({ std::move(name), true });
            else
                ++m_untrackedFunctions;
        }

        CssTokenizer m_tokenizer;
        bool m_importsAllowed;
        bool m_inImport = false;
        bool m_importDone = false;
        bool m_pendingFontFace = false;
        std::size_t m_depth = 0;
        std::size_t m_fontFaceDepth = 0;
        struct Function {
            std::string name;
            bool addressExpected;
        };
        std::vector<Function> m_functions;
        std::size_t m_untrackedFunctions = 0;
    };

} // namespace

void ScanCssReferences(
    std::string_view css, CssSource source, const std::function<void(const CssReference&)>& visit)
{
    ReferenceScanner(css, source).Run(visit);
}

std::string QuoteCssString(std::string_view text)
{
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (c == '\n' || c == '\r' || c == '\f') {
            // A hex escape ends with one blank so that a following hex digit is not read into it.
            quoted += c == '\n' ? "\\a " : (c == '\r' ? "\\d " : "\\c ");
        } else {
            quoted += c;
        }
    }
    quoted += '"';
    return quoted;
}

std::string RewriteCssTokens(std::string_view css, CssSource source,
    const std::function<std::optional<std::string>(const CssReference&)>& map)
{
    std::string out;
    out.reserve(css.size());
    std::size_t copied = 0;
    ScanCssReferences(css, source, [&](const CssReference& reference) {
        if (reference.start < copied)
            return;
        std::optional<std::string> replacement = map(reference);
        if (!replacement)
            return;
        out.append(css.substr(copied, reference.start - copied));
        out += *replacement;
        copied = reference.end;
    });
    out.append(css.substr(copied));
    return out;
}

std::string RewriteCss(std::string_view css, CssSource source,
    const std::function<std::optional<std::string>(const CssReference&)>& map)
{
    return RewriteCssTokens(css, source, [&](const CssReference& reference) -> std::optional<std::string> {
        std::optional<std::string> replacement = map(reference);
        if (!replacement)
            return std::nullopt;
        if (reference.form == CssReferenceForm::UrlToken)
            return "url(" + QuoteCssString(*replacement) + ")";
        return QuoteCssString(*replacement);
    });
}

} // namespace pagestow::offline
