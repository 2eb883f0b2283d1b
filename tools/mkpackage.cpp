// mkpackage: the publisher's packaging tool. Builds the package archive from a manifest and
// compresses it as one bzip2 stream, lists and verifies a package, and extracts one into the
// emulated machine through the installer's own extraction engine.
#include "package/archive.h"
#include "package/check.h"
#include "package/crc32.h"
#include "package/errors.h"
#include "tools/mkpackage_extract.h"
#include "win32/text.h"

#include <boost/iostreams/filter/bzip2.hpp>
#include <boost/iostreams/filtering_stream.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
namespace io = boost::iostreams;

namespace {

int usage() {
    std::cerr << "usage: mkpackage build MANIFEST -o PACKAGE\n"
                 "       mkpackage list PACKAGE\n"
                 "       mkpackage verify PACKAGE\n"
                 "       mkpackage extract PACKAGE [--machine DIR] --install-path WINPATH\n"
                 "                 [--sample-path PATH] [--temp WINPATH] [--skip-kind KIND]...\n"
                 "                 [--check]\n";
    return 2;
}

struct manifest_item {
    fs::path file; // where the data is read from
    dv::package_entry entry;
};

// One line per file: source path (relative to the manifest's folder), destination template
// and kind, separated by tabs. Blank lines and lines starting with '#' are ignored.
bool read_manifest(const fs::path& manifest, std::vector<manifest_item>& items) {
    std::ifstream in(manifest, std::ios::binary);
    if (!in) {
        std::cerr << "mkpackage: cannot read manifest " << manifest.string() << "\n";
        return false;
    }
    std::string line;
    int number = 0;
    auto bad = [&](const std::string& why) {
        std::cerr << manifest.string() << ":" << number << ": " << why << "\n";
        return false;
    };
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::string trimmed = win32::trim(line);
        if (trimmed.empty() || trimmed[0] == '#')
            continue;
        std::vector<std::string> fields;
        std::size_t start = 0;
        for (;;) {
            std::size_t tab = line.find('\t', start);
            fields.push_back(win32::trim(line.substr(start, tab - start)));
            if (tab == std::string::npos)
                break;
            start = tab + 1;
        }
        if (fields.size() != 3)
            return bad("expected source, destination and kind separated by tabs");
        if (fields[0].empty())
            return bad("empty source");
        if (fields[1].empty())
            return bad("empty destination");
        auto kind = dv::parse_entry_kind(fields[2]);
        if (!kind)
            return bad("unknown kind '" + fields[2] + "'");
        manifest_item item;
        item.file = manifest.parent_path() / fs::path(fields[0]);
        item.entry.source = win32::from_utf8(fields[0]);
        item.entry.destination = win32::from_utf8(fields[1]);
        item.entry.kind = *kind;
        std::error_code ec;
        if (!fs::is_regular_file(item.file, ec))
            return bad("no such file: " + item.file.string());
        if (dv::file_name_of(item.entry.source).empty())
            return bad("source has no file name");
        items.push_back(std::move(item));
    }
    if (items.size() > 0xFFFFFFFFu)
        return bad("too many entries");
    return true;
}

// Streams a file's bytes to `out` (when given) and returns its size and CRC.
bool scan_file(const fs::path& file, std::ostream* out, std::uint64_t& size, std::uint32_t& crc) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return false;
    std::vector<char> buffer(1 << 16);
    size = 0;
    crc = 0;
    for (;;) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        std::streamsize got = in.gcount();
        if (got <= 0)
            break;
        crc = dv::crc32_update(crc, buffer.data(), static_cast<std::size_t>(got));
        size += static_cast<std::uint64_t>(got);
        if (out && !out->write(buffer.data(), got))
            return false;
    }
    return !in.bad();
}

int cmd_build(const fs::path& manifest, const fs::path& package) {
    std::vector<manifest_item> items;
    if (!read_manifest(manifest, items))
        return 1;
    std::vector<dv::package_entry> entries;
    for (auto& item : items) {
        if (!scan_file(item.file, nullptr, item.entry.size, item.entry.crc)) {
            std::cerr << "mkpackage: cannot read " << item.file.string() << "\n";
            return 1;
        }
        entries.push_back(item.entry);
    }
    std::string index = dv::encode_index(entries);

    // Written beside the target and renamed over it, so a failed build leaves no half package.
    fs::path temp = package;
    temp += ".part";
    std::uint64_t archive = index.size();
    {
        std::ofstream file(temp, std::ios::binary | std::ios::trunc);
        if (!file) {
            std::cerr << "mkpackage: cannot create " << temp.string() << "\n";
            return 1;
        }
        io::filtering_ostream out;
        out.push(io::bzip2_compressor(io::bzip2_params(9)));
        out.push(file);
        out.write(index.data(), static_cast<std::streamsize>(index.size()));
        for (const auto& item : items) {
            std::uint64_t size = 0;
            std::uint32_t crc = 0;
            if (!scan_file(item.file, &out, size, crc) || size != item.entry.size ||
                crc != item.entry.crc) {
                std::cerr << "mkpackage: " << item.file.string()
                          << " could not be read or changed while packaging\n";
                out.reset();
                fs::remove(temp);
                return 1;
            }
            archive += size;
        }
        out.reset(); // flushes the compressor's last block into the file
        file.close();
        if (!file) {
            std::cerr << "mkpackage: cannot write " << temp.string() << "\n";
            fs::remove(temp);
            return 1;
        }
    }
    std::error_code ec;
    fs::rename(temp, package, ec);
    if (ec) {
        std::cerr << "mkpackage: cannot write " << package.string() << ": " << ec.message() << "\n";
        fs::remove(temp, ec);
        return 1;
    }
    std::cout << package.string() << ": " << entries.size() << " entries, archive " << archive
              << " bytes, package " << fs::file_size(package, ec) << " bytes\n";
    return 0;
}

// Opens a package file; a missing or unreadable one is exit status 2.
bool open_package(const fs::path& package, std::ifstream& in) {
    std::error_code ec;
    if (!fs::is_regular_file(package, ec)) {
        std::cerr << "mkpackage: no such package: " << package.string() << "\n";
        return false;
    }
    in.open(package, std::ios::binary);
    if (!in) {
        std::cerr << "mkpackage: cannot read package " << package.string() << "\n";
        return false;
    }
    return true;
}

int cmd_list(const fs::path& package) {
    std::ifstream file;
    if (!open_package(package, file))
        return 2;
    std::vector<dv::package_entry> entries;
    std::uint64_t header_size = 0;
    try {
        io::filtering_istream in;
        in.push(io::bzip2_decompressor());
        in.push(file);
        std::string header(8, '\0');
        if (!in.read(header.data(), 8))
            throw std::runtime_error("the archive ends before its header");
        header_size = dv::decode_header_size(header.data());
        if (header_size < dv::archive_fixed_header || header_size > dv::max_header_size)
            throw std::runtime_error("the header size is out of range");
        header.resize(static_cast<std::size_t>(header_size));
        if (!in.read(header.data() + 8, static_cast<std::streamsize>(header_size - 8)))
            throw std::runtime_error("the archive ends inside its index");
        entries = dv::decode_index(header);
    } catch (const std::exception& e) {
        std::cerr << "mkpackage: " << package.string() << ": " << e.what() << "\n";
        return 1;
    }
    std::uint64_t total = header_size;
    for (const auto& e : entries)
        total += e.size;
    std::printf("header size: %llu\nentries: %zu\narchive length: %llu\n",
                static_cast<unsigned long long>(header_size), entries.size(),
                static_cast<unsigned long long>(total));
    for (const auto& e : entries) {
        std::string target = win32::to_utf8(e.destination + L"\\" + dv::file_name_of(e.source));
        std::printf("%-17s %12llu  %08X  %s\n", dv::entry_kind_name(e.kind).c_str(),
                    static_cast<unsigned long long>(e.size), e.crc, target.c_str());
    }
    return 0;
}

int cmd_verify(const fs::path& package) {
    std::ifstream file;
    if (!open_package(package, file))
        return 2;
    dv::package_check check = dv::check_package(file);
    if (!check) {
        std::cerr << "mkpackage: " << package.string() << " is damaged: " << check.reason << "\n";
        return 1;
    }
    // The stream is sound; the archive inside must also be as long as its index says.
    std::string problem;
    std::size_t count = 0;
    if (check.header.size() < 8) {
        problem = "the archive ends before its header";
    } else {
        std::uint64_t header_size = dv::decode_header_size(check.header.data());
        if (header_size < dv::archive_fixed_header || header_size > dv::max_header_size ||
            check.header.size() != header_size) {
            problem = "the archive's header is damaged";
        } else {
            try {
                auto entries = dv::decode_index(check.header);
                count = entries.size();
                std::uint64_t total = header_size;
                for (const auto& e : entries)
                    total += e.size;
                if (total != check.archive)
                    problem = "the archive is " + std::to_string(check.archive) +
                              " bytes long, its index describes " + std::to_string(total);
            } catch (const std::exception&) {
                problem = "the archive's index does not match its header size";
            }
        }
    }
    if (!problem.empty()) {
        std::cerr << "mkpackage: " << package.string() << " is damaged: " << problem << "\n";
        return 1;
    }
    std::cout << package.string() << ": sound, " << count << " entries, archive " << check.archive
              << " bytes, compressed " << check.compressed << " bytes\n";
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty())
        return usage();
    try {
        const std::string& cmd = args[0];
        if (cmd == "build") {
            if (args.size() != 4 || args[2] != "-o")
                return usage();
            return cmd_build(args[1], args[3]);
        }
        if (cmd == "list" && args.size() == 2)
            return cmd_list(args[1]);
        if (cmd == "verify" && args.size() == 2)
            return cmd_verify(args[1]);
        if (cmd == "extract")
            return mkpackage_extract(std::vector<std::string>(args.begin() + 1, args.end()));
    } catch (const std::exception& e) {
        std::cerr << "mkpackage: " << e.what() << "\n";
        return 1;
    }
    return usage();
}
