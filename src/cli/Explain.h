#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace pagestow::cli {

// The --explain command. args are the arguments after "--explain": ADDRESS, optionally followed by
// "--base" DOCUMENT. Prints the address record (after the resolved "absolute=" line when a document is
// given) to out and returns 0; prints a usage text to err and returns 2 for wrong arguments. With a
// save folder, a last line target= gives the path a page saved from the address would get there (the
// capture folder shown as qzwd_YYMMDDhhmmRRR).
int RunExplain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
    const std::string& saveDir = {});

// The path of the file a page of that address is saved to, below saveDir and captureFolder: the
// capture's own answer (mapping::DocumentFile).
std::string PageFilePath(
    const std::string& saveDir, const std::string& captureFolder, const std::string& address);

} // namespace pagestow::cli
