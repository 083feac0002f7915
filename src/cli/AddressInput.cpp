#include "cli/AddressInput.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace pagestow::cli {

std::vector<std::string> ReadAddressList(std::istream& in)
{
    std::vector<std::string> addresses;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#')
            continue;
        addresses.push_back(line);
    }
    return addresses;
}

bool CollectAddresses(const std::vector<AddressSource>& sources, std::istream& standardInput,
    std::vector<std::string>& addresses, std::string& error)
{
    for (const AddressSource& source : sources) {
        if (source.kind == AddressSource::Kind::Address) {
            addresses.push_back(source.text);
            continue;
        }
        if (source.text == "-") {
            for (std::string& address : ReadAddressList(standardInput))
                addresses.push_back(std::move(address));
            continue;
        }
        std::error_code folderError;
        if (std::filesystem::is_directory(source.text, folderError)) {
            error = "cannot read " + source.text + ": " + std::strerror(EISDIR);
            return false;
        }
        errno = 0;
        std::ifstream file(source.text, std::ios::binary);
        if (!file) {
            error = "cannot read " + source.text + ": " + std::strerror(errno ? errno : ENOENT);
            return false;
        }
        for (std::string& address : ReadAddressList(file))
            addresses.push_back(std::move(address));
        if (file.bad()) {
            error = "cannot read " + source.text + ": " + std::strerror(errno ? errno : EIO);
            return false;
        }
    }
    return true;
}

} // namespace pagestow::cli
