#pragma once

#include "cli/CliOptions.h"

#include <istream>
#include <string>
#include <vector>

namespace pagestow::cli {

// The addresses of a list: one a line (LF or CR LF); blank lines and lines whose first character
// other than a blank or tab is "#" are skipped. Each address is kept as written otherwise; the
// capture trims it as it trims a typed one.
std::vector<std::string> ReadAddressList(std::istream& in);

// Every address of the sources in the order given, lists read whole ("-" is standard input). False,
// with what went wrong in error, when a list cannot be read.
bool CollectAddresses(const std::vector<AddressSource>& sources, std::istream& standardInput,
    std::vector<std::string>& addresses, std::string& error);

} // namespace pagestow::cli
