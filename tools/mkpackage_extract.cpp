// mkpackage extract: runs the installer's extraction engine on a package file, into the
// emulated machine.
#include "tools/mkpackage_extract.h"

#include "package/archive.h"
#include "package/check.h"
#include "package/errors.h"
#include "package/extract.h"
#include "win32/machine.h"
#include "win32/text.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

int extract_usage() {
    std::cerr << "usage: mkpackage extract PACKAGE [--machine DIR] --install-path WINPATH\n"
                 "                 [--sample-path PATH] [--temp WINPATH] [--skip-kind KIND]...\n"
                 "                 [--check]\n";
    return 2;
}

// A one-line bar on a terminal, redrawn only when the shown percentage changes.
class progress_bar {
public:
    explicit progress_bar(bool enabled) : enabled_(enabled) {}
    void show(std::uint64_t position, std::uint64_t total) {
        if (!enabled_ || total == 0)
            return;
        int percent = static_cast<int>(position * 100 / total);
        if (percent == shown_)
            return;
        shown_ = percent;
        std::string bar(static_cast<std::size_t>(percent / 2), '#');
        bar.resize(50, ' ');
        std::fprintf(stdout, "\r[%s] %3d%%", bar.c_str(), percent);
        std::fflush(stdout);
        drawn_ = true;
    }
    // Clears the bar so that a line of text can be printed.
    void clear() {
        if (drawn_) {
            std::fprintf(stdout, "\r%60s\r", "");
            drawn_ = false;
            shown_ = -1;
        }
    }

private:
    bool enabled_;
    bool drawn_ = false;
    int shown_ = -1;
};

} // namespace

int mkpackage_extract(const std::vector<std::string>& args) {
    if (args.empty())
        return extract_usage();
    fs::path package = args[0];
    std::string machine, install, sample, temp;
    bool have_install = false, check = false;
    std::set<std::uint32_t> skip_kinds;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& opt = args[i];
        if (opt == "--check") {
            check = true;
            continue;
        }
        if (i + 1 >= args.size())
            return extract_usage();
        const std::string& value = args[++i];
        if (opt == "--machine") {
            machine = value;
        } else if (opt == "--install-path") {
            install = value;
            have_install = true;
        } else if (opt == "--sample-path") {
            sample = value;
        } else if (opt == "--temp") {
            temp = value;
        } else if (opt == "--skip-kind") {
            auto kind = dv::parse_entry_kind(value);
            if (!kind) {
                std::cerr << "mkpackage: unknown kind '" << value << "'\n";
                return 2;
            }
            skip_kinds.insert(*kind);
        } else {
            return extract_usage();
        }
    }
    if (!have_install || install.empty())
        return extract_usage();

    std::error_code ec;
    if (!fs::is_regular_file(package, ec)) {
        std::cerr << "mkpackage: no such package: " << package.string() << "\n";
        return 2;
    }
    std::ifstream source(package, std::ios::binary);
    if (!source) {
        std::cerr << "mkpackage: cannot read package " << package.string() << "\n";
        return 2;
    }
    if (!machine.empty())
        win32::Machine::use(machine);

    dv::path_table paths = {win32::from_utf8(install), win32::from_utf8(sample),
                            win32::from_utf8(temp)};
    progress_bar bar(::isatty(STDOUT_FILENO) != 0);
    std::size_t files = 0;
    std::uint64_t bytes = 0;
    std::error_code failure;
    std::wstring failure_path;

    bool ok = dv::extract_package(source, paths, [&](dv::notification n) {
        using dv::notification;
        if (n.get<notification::start>() && check) {
            // The installer's first pass: the whole stream must decompress before anything
            // is written.
            dv::package_check result = dv::check_package(source);
            if (!result) {
                std::cerr << "mkpackage: " << package.string() << " is damaged: " << result.reason
                          << "\n";
                throw std::system_error(dv::compress_error::package_check_failed);
            }
            source.clear();
            source.seekg(0);
        } else if (auto* b = n.get<notification::file_begin>()) {
            if (skip_kinds.count(b->entry.kind)) {
                bar.clear();
                std::printf("skipped  %s\n", win32::to_utf8(b->entry.destination).c_str());
                return notification::skip;
            }
        } else if (auto* e = n.get<notification::file_end>()) {
            bar.clear();
            std::printf("%-17s %12llu  %s\n", dv::entry_kind_name(e->entry.kind).c_str(),
                        static_cast<unsigned long long>(e->entry.size),
                        win32::to_utf8(e->entry.destination).c_str());
            ++files;
            bytes += e->entry.size;
        } else if (auto* p = n.get<notification::progress>()) {
            bar.show(p->position, p->total);
        } else if (auto* f = n.get<notification::error>()) {
            failure = f->code;
            failure_path = f->path;
        }
        return notification::proceed;
    });
    bar.clear();
    std::fflush(stdout);
    if (!ok) {
        // The code as the installer shows it; only the engine's own codes have a text here
        // (Windows codes would need the system's message table).
        std::cerr << "mkpackage: extraction failed (Error Code "
                  << win32::to_utf8(dv::error_code_text(failure)) << ")";
        if (failure.category() == dv::compress_category())
            std::cerr << " " << failure.message();
        if (!failure_path.empty())
            std::cerr << ": " << win32::to_utf8(failure_path);
        std::cerr << "\n";
        return 1;
    }
    std::printf("%zu files, %llu bytes extracted\n", files, static_cast<unsigned long long>(bytes));
    return 0;
}
