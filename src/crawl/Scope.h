#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pagestow::crawl {

// What a crawl follows, from the command line's options.
struct ScopeOptions {
    std::string start; // the start address
    bool noParent = false; // never above the start address's folder (the path up to its last "/")
    bool spanHosts = false; // other hosts too
    std::vector<std::string> domains; // with spanHosts, only these domains and their subdomains; empty: any
    std::string acceptRegex; // POSIX extended expressions on the whole canonical address, "" for none
    std::string rejectRegex;
    int maxLevel = 5; // -1: no bound; the start page is level 0
};

enum class Verdict { Follow, NotHttp, OtherHost, Parent, Rejected, NotAccepted, TooDeep, BlockedPort };

// The verdicts of one crawl's scope on the addresses it finds.
class Scope {
public:
    // The scope of options; nullopt with error set when the start address or an expression is unusable.
    static std::optional<Scope> Make(ScopeOptions options, std::string& error);

    // Whether an address found at level depth is followed; the start address itself is never out of scope.
    Verdict Judge(std::string_view address, int depth) const;

    // The start address in the canonical form.
    const std::string& Start() const { return m_start; }

private:
    struct Expression;

    Scope() = default;
    bool SameSite(std::string_view host, std::string_view port) const;
    bool InDomains(std::string_view host) const;

    ScopeOptions m_options;
    std::string m_start;
    std::string m_startHost;
    std::string m_startPort; // "" for the scheme's default
    std::string m_startFolder;
    std::shared_ptr<const Expression> m_accept;
    std::shared_ptr<const Expression> m_reject;
};

// The text of a verdict for the log: "another host", "past --level" ...
const char* VerdictText(Verdict verdict);

} // namespace pagestow::crawl
