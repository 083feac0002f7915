#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace pagestow::cli {

// The --explain command. args are the arguments after "--explain": ADDRESS, optionally followed by
// "--base" DOCUMENT. Prints the address record (after the resolved "absolute=" line when a document is
// given) to out and returns 0; prints a usage text to err and returns 2 for wrong arguments.
int RunExplain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

} // namespace pagestow::cli
