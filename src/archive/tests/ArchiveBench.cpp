// How fast the archive is written: a page's bodies as WARC records, then the WACZ package.
//
//   archive_bench [MIB]     (default 128: half random bytes as images are, half markup)
//
// Prints the megabytes a second of each step; it asserts nothing.

#include "WarcTestSupport.h"
#include "archive/Warc.h"

#include <chrono>
#include <cstdio>
#include <string>

using namespace pagestow::archive;

namespace {

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

} // namespace

int main(int argc, char** argv)
{
    std::size_t mib = argc > 1 ? std::stoul(argv[1]) : 128;
    testing::TempFolder folder;
    constexpr std::size_t kBodyMib = 4;
    std::string random = testing::RandomBytes(kBodyMib << 20, 1);
    std::string markup;
    while (markup.size() < (kBodyMib << 20))
        markup += "<div class=\"item\"><a href=\"/page/" + std::to_string(markup.size())
            + "\">An entry</a></div>\n";
    // Every body differs (a revisit would skip the work being measured) and comes from a file, as a
    // large body does: digested in one pass, compressed in a second.
    std::vector<Exchange> exchanges;
    for (std::size_t i = 0; i < mib / kBodyMib; ++i) {
        std::string body = i % 2 ? markup : random;
        std::string tag = std::to_string(i) + " ";
        body.replace(0, tag.size(), tag);
        auto file = folder.Path() / ("body-" + std::to_string(i));
        testing::WriteFile(file, body);
        Exchange exchange;
        exchange.url = "http://bench.test/" + std::to_string(i);
        exchange.status = 200;
        exchange.reason = "OK";
        exchange.body.source = ExchangeBody::Source::File;
        exchange.body.file = file;
        exchanges.push_back(std::move(exchange));
    }
    std::string error;
    auto warc = folder.Path() / "bench.warc.gz";
    auto start = std::chrono::steady_clock::now();
    auto writer = WarcWriter::Create(warc, error);
    if (!writer || !writer->WriteExchanges(exchanges, nullptr) || !writer->Close()) {
        std::fprintf(stderr, "%s\n", writer ? writer->Error().c_str() : error.c_str());
        return 1;
    }
    double warcSeconds = Seconds(start);
    start = std::chrono::steady_clock::now();
    if (!WriteWacz(warc, folder.Path() / "bench.wacz", "archive_bench", error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    double waczSeconds = Seconds(start);
    double mb = double(exchanges.size() * kBodyMib);
    std::printf("WARC: %zu bodies, %.0f MiB in %.2f s (%.0f MiB/s)\n", exchanges.size(), mb, warcSeconds,
        mb / warcSeconds);
    std::printf("WARC file: %.0f MiB; WACZ: %.2f s (%.0f MiB/s)\n",
        double(std::filesystem::file_size(warc)) / (1 << 20), waczSeconds, mb / waczSeconds);
}
