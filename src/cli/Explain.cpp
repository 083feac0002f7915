#include "cli/Explain.h"

#include "mapping/AddressRecord.h"
#include "mapping/LocalPath.h"

#include <optional>

namespace pagestow::cli {

namespace {

    constexpr const char* kExplainUsage
        = "usage: pagestow-cli --explain ADDRESS [--base DOCUMENT] [--save-dir DIR]\n"
          "  prints the address record of ADDRESS, one name=value line each;\n"
          "  with --base, first the line absolute= with ADDRESS resolved against DOCUMENT;\n"
          "  last the line target= with the path a page of that address is saved to\n";

    struct ExplainArguments {
        std::string address;
        std::optional<std::string> document;
    };

    std::optional<ExplainArguments> ParseArguments(const std::vector<std::string>& args)
    {
        ExplainArguments parsed;
        bool haveAddress = false;
        for (std::size_t i = 0; i < args.size(); ++i) {
            if (args[i] == "--base") {
                if (parsed.document || i + 1 >= args.size())
                    return std::nullopt;
                parsed.document = args[++i];
            } else if (args[i].starts_with("--") || haveAddress) {
                return std::nullopt;
            } else {
                parsed.address = args[i];
                haveAddress = true;
            }
        }
        if (!haveAddress)
            return std::nullopt;
        return parsed;
    }

    void PrintRecord(const mapping::AddressRecord& record, std::ostream& out)
    {
        for (const auto& line : record.Lines())
            out << line << '\n';
    }

} // namespace

std::string PageFilePath(
    const std::string& saveDir, const std::string& captureFolder, const std::string& address)
{
    std::string folder = saveDir;
    if (folder.empty() || folder.back() != mapping::kPathSeparator)
        folder += mapping::kPathSeparator;
    return mapping::DocumentFile(folder, captureFolder, address);
}

int RunExplain(
    const std::vector<std::string>& args, std::ostream& out, std::ostream& err, const std::string& saveDir)
{
    const auto parsed = ParseArguments(args);
    if (!parsed) {
        err << kExplainUsage;
        return 2;
    }

    std::string address = parsed->address;
    if (parsed->document) {
        mapping::AddressRecord document;
        mapping::SplitAddress(*parsed->document, document);
        address = mapping::ElementAddress(document, address);
        out << "absolute=" << address << '\n';
    }
    mapping::AddressRecord record;
    mapping::SplitAddress(address, record);
    PrintRecord(record, out);
    if (!saveDir.empty())
        out << "target=" << PageFilePath(saveDir, "qzwd_YYMMDDhhmmRRR", address) << '\n';
    return 0;
}

} // namespace pagestow::cli
