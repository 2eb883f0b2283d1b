#include "package/archive.h"
#include "package/crc32.h"
#include "package/errors.h"
#include "package/extract.h"
#include "tests/support/temp_machine.h"
#include "win32/files.h"
#include "win32/handles.h"

#include <boost/iostreams/filter/bzip2.hpp>
#include <boost/iostreams/filtering_stream.hpp>

#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
namespace io = boost::iostreams;
using dv::compress_error;
using dv::notification;

namespace {

struct item {
    std::wstring source;
    std::wstring destination;
    std::string data;
    std::uint32_t kind = 0;
};

std::string make_archive(const std::vector<item>& items) {
    std::vector<dv::package_entry> entries;
    std::string data;
    for (const auto& i : items) {
        entries.push_back({i.source, i.destination, i.kind, i.data.size(),
                           dv::crc32(i.data.data(), i.data.size())});
        data += i.data;
    }
    return dv::encode_index(entries) + data;
}

std::string bzip2(const std::string& bytes, int block_size = 9) {
    std::ostringstream out;
    io::filtering_ostream z;
    z.push(io::bzip2_compressor(io::bzip2_params(block_size)));
    z.push(out);
    z.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    z.reset();
    return out.str();
}

std::string narrow(const std::wstring& w) {
    std::string s;
    for (wchar_t c : w)
        s += static_cast<char>(c);
    return s;
}

// Records every event as a line of text and answers from a script.
struct recorder {
    std::vector<std::string> events;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> progress;
    // Answers "event" (e.g. "begin C:\\a.txt", "progress", "end ...") with the result given.
    std::function<notification::result(const std::string&)> answer;

    dv::extract_callback callback() {
        return [this](notification n) {
            std::string line;
            if (n.get<notification::start>())
                line = "start";
            else if (auto* f = n.get<notification::finish>())
                line = "finish " + std::to_string(f->total);
            else if (auto* b = n.get<notification::file_begin>())
                line = "begin " + narrow(b->entry.destination);
            else if (auto* e = n.get<notification::file_end>())
                line = "end " + narrow(e->entry.destination);
            else if (auto* p = n.get<notification::progress>()) {
                progress.emplace_back(p->position, p->total);
                line = "progress";
            } else if (auto* e = n.get<notification::error>()) {
                line = "error " + std::string(e->code.category().name()) + ":" +
                       std::to_string(e->code.value()) + " " + narrow(e->path);
            }
            events.push_back(line);
            return answer ? answer(line) : notification::proceed;
        };
    }

    // The events without the progress ones.
    std::vector<std::string> steps() const {
        std::vector<std::string> out;
        for (const auto& e : events)
            if (e != "progress")
                out.push_back(e);
        return out;
    }
    std::string last() const { return events.empty() ? "" : events.back(); }
};

class Extract : public dvtest::MachineTest {
protected:
    void SetUp() override { dv::set_sharing_retry_delay(std::chrono::milliseconds(1)); }
    void TearDown() override { dv::set_sharing_retry_delay(std::chrono::milliseconds(1000)); }

    bool extract(const std::string& package, recorder& r) {
        std::istringstream in(package);
        return dv::extract_package(in, paths, r.callback());
    }
    bool extract_raw(const std::string& archive, recorder& r, std::size_t chunk = 4096) {
        std::istringstream in(archive);
        return dv::extract_archive(in, paths, r.callback(), chunk);
    }
    bool exists(const std::wstring& p) const { return fs::exists(tm.host(p)); }
    std::string content(const std::wstring& p) const { return dvtest::read_host_file(tm.host(p)); }

    dv::path_table paths = {L"C:\\Apps\\Product", L"C:\\Samples", L""};
};

TEST_F(Extract, WorkedExample) {
    std::string archive = make_archive({{L"D:\\pkg\\a.txt", L"<SamplePath>", "abc", 4}});
    ASSERT_EQ(archive.size(), 87u);
    std::string package = bzip2(archive);
    recorder r;
    ASSERT_TRUE(extract(package, r)) << r.last();
    EXPECT_EQ(content(L"C:\\Samples\\a.txt"), "abc");
    EXPECT_EQ(r.events,
              (std::vector<std::string>{"start", "progress", "begin C:\\Samples\\a.txt", "progress",
                                        "end C:\\Samples\\a.txt", "finish 87"}));
    EXPECT_EQ(r.progress,
              (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{84, 87}, {87, 87}}));

    // The compressed byte count is what was read from the stream.
    std::uint64_t compressed = 0;
    std::istringstream in(package);
    dv::extract_package(in, paths, [&](notification n) {
        if (auto* f = n.get<notification::finish>())
            compressed = f->compressed;
        return notification::proceed;
    });
    EXPECT_EQ(compressed, package.size());
}

TEST_F(Extract, ChunkingChangesOnlyTheProgressEvents) {
    std::string big(10000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 31 + 7);
    std::string archive = make_archive({
        {L"b\\empty_first.dat", L"<InstallPath>", ""},
        {L"b\\big.bin", L"<InstallPath>\\Lang", big},
        {L"b\\empty_mid.dat", L"<InstallPath>", ""},
        {L"b/x.txt", L"<Temporary>\\sub", "xyz"},
        {L"b\\empty_last.dat", L"<InstallPath>", ""},
    });
    std::uint64_t header_size = dv::decode_header_size(archive.data());
    std::vector<std::string> expected_steps = {
        "start",
        "begin C:\\Apps\\Product\\empty_first.dat",
        "end C:\\Apps\\Product\\empty_first.dat",
        "begin C:\\Apps\\Product\\Lang\\big.bin",
        "end C:\\Apps\\Product\\Lang\\big.bin",
        "begin C:\\Apps\\Product\\empty_mid.dat",
        "end C:\\Apps\\Product\\empty_mid.dat",
        "begin C:\\Apps\\Product\\sub\\x.txt",
        "end C:\\Apps\\Product\\sub\\x.txt",
        "begin C:\\Apps\\Product\\empty_last.dat",
        "end C:\\Apps\\Product\\empty_last.dat",
        "finish " + std::to_string(archive.size()),
    };

    recorder bytewise, chunked, compressed;
    ASSERT_TRUE(extract_raw(archive, bytewise, 1)) << bytewise.last();
    ASSERT_TRUE(extract_raw(archive, chunked, 4096)) << chunked.last();
    ASSERT_TRUE(extract(bzip2(archive), compressed)) << compressed.last();
    for (const recorder* r : {&bytewise, &chunked, &compressed}) {
        EXPECT_EQ(r->steps(), expected_steps);
        EXPECT_EQ(r->progress.front(), std::make_pair(header_size, std::uint64_t(archive.size())));
        EXPECT_EQ(r->progress.back().first, archive.size());
    }
    // One progress per accepted chunk: after the index, then one per data byte.
    EXPECT_EQ(bytewise.progress.size(), 1 + big.size() + 3);
    EXPECT_EQ(chunked.progress.size(), 1u + 3u + 1u); // index, 4096, 4096, the rest with x.txt
    EXPECT_EQ(content(L"C:\\Apps\\Product\\Lang\\big.bin"), big);
    EXPECT_EQ(content(L"C:\\Apps\\Product\\sub\\x.txt"), "xyz");
    EXPECT_TRUE(exists(L"C:\\Apps\\Product\\empty_last.dat"));
    EXPECT_EQ(content(L"C:\\Apps\\Product\\empty_first.dat"), "");

    recorder nothing;
    EXPECT_TRUE(extract(bzip2(dv::encode_index({})), nothing));
    EXPECT_EQ(nothing.steps(), (std::vector<std::string>{"start", "finish 12"}));
}

TEST_F(Extract, SkippedEntryIsCountedButNotTouched) {
    std::string archive = make_archive(
        {{L"a.txt", L"<InstallPath>\\Skip", "skipped!"}, {L"b.txt", L"<InstallPath>", "kept"}});
    recorder r;
    r.answer = [](const std::string& e) {
        return e.find("a.txt") != std::string::npos && e.starts_with("begin")
                   ? notification::skip
                   : notification::proceed;
    };
    ASSERT_TRUE(extract(bzip2(archive), r)) << r.last();
    EXPECT_FALSE(exists(L"C:\\Apps\\Product\\Skip"));
    EXPECT_EQ(content(L"C:\\Apps\\Product\\b.txt"), "kept");
    EXPECT_EQ(r.steps(), (std::vector<std::string>{"start", "begin C:\\Apps\\Product\\Skip\\a.txt",
                                                   "begin C:\\Apps\\Product\\b.txt",
                                                   "end C:\\Apps\\Product\\b.txt",
                                                   "finish " + std::to_string(archive.size())}));
    EXPECT_EQ(r.progress.back().first, archive.size());

    // Skip answers to other events mean proceed, and an existing target stays as it was.
    dvtest::write_host_file(tm.host(L"C:\\Apps\\Product\\Skip\\a.txt"), "old");
    recorder all_skip;
    all_skip.answer = [](const std::string& e) {
        return e.starts_with("begin") && e.find("a.txt") != std::string::npos
                   ? notification::skip
                   : (e.starts_with("begin") ? notification::proceed : notification::skip);
    };
    ASSERT_TRUE(extract_raw(archive, all_skip, 3)) << all_skip.last();
    EXPECT_EQ(content(L"C:\\Apps\\Product\\Skip\\a.txt"), "old");
}

TEST_F(Extract, CancelAtEachEvent) {
    std::string archive = make_archive({{L"a.txt", L"<InstallPath>", std::string(6000, 'a')},
                                        {L"b.txt", L"<InstallPath>", "bbb"}});
    const std::wstring a = L"C:\\Apps\\Product\\a.txt";
    struct Case {
        int cancel_at;          // index into the event sequence
        const char* error_path; // in the error event
        const char* a_content;  // what is left of a.txt ("-" for nothing)
    };
    // Events of a 4096-byte run: start(0) progress(1) begin a(2) progress(3) progress(4)
    // end a(5) begin b(6) progress(7) end b(8) finish(9).
    const Case cases[] = {
        {1, "", "-"},
        {2, "", "-"},
        {3, "C:\\Apps\\Product\\a.txt", "3964"}, // the first chunk less the 132-byte header
        {5, "C:\\Apps\\Product\\a.txt", "6000"},
        {6, "", "6000"},
        {8, "C:\\Apps\\Product\\b.txt", "6000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cancel_at);
        fs::remove_all(tm.host(L"C:\\Apps"));
        recorder r;
        int n = 0;
        r.answer = [&](const std::string&) {
            return n++ == c.cancel_at ? notification::cancel : notification::proceed;
        };
        EXPECT_FALSE(extract_raw(archive, r));
        EXPECT_EQ(r.last(), std::string("error compress:5 ") + c.error_path);
        EXPECT_EQ(r.events.size(), static_cast<std::size_t>(c.cancel_at) + 2);
        if (std::string(c.a_content) == "-")
            EXPECT_FALSE(exists(a));
        else
            EXPECT_EQ(content(a).size(), std::stoul(c.a_content));
        EXPECT_FALSE(c.cancel_at < 8 && exists(L"C:\\Apps\\Product\\b.txt"));
    }
}

TEST_F(Extract, MalformedArchivesFailWithSeven) {
    std::string good = make_archive({{L"a.txt", L"<InstallPath>", "abcdef"}});
    std::string bad_header_size = good;
    bad_header_size[0] = 5;
    struct Case {
        const char* name;
        std::string archive;
        const char* error;
    };
    const Case cases[] = {
        {"stray data", good + "!", "error compress:7 "},
        {"ends in an entry", good.substr(0, good.size() - 2),
         "error compress:7 C:\\Apps\\Product\\a.txt"},
        {"ends in the index", good.substr(0, 20), "error compress:7 "},
        {"ends in the header length", good.substr(0, 5), "error compress:7 "},
        {"header size below 12", bad_header_size, "error compress:7 "},
        {"unknown token", make_archive({{L"a.txt", L"<Nowhere>", "x"}}), "error compress:7 "},
    };
    for (const auto& c : cases) {
        recorder r;
        EXPECT_FALSE(extract(bzip2(c.archive), r)) << c.name;
        EXPECT_EQ(r.last(), c.error) << c.name;
        EXPECT_EQ(r.steps().back(), c.error) << c.name;
        EXPECT_EQ(std::count_if(r.events.begin(), r.events.end(),
                                [](const std::string& e) { return e.starts_with("error"); }),
                  1)
            << c.name;
        // Stray data comes after a complete, verified file.
        if (c.name == std::string("stray data")) {
            EXPECT_EQ(content(L"C:\\Apps\\Product\\a.txt"), "abcdef");
        }
    }
}

TEST_F(Extract, BadCompressedDataAndEmptySources) {
    // Two bzip2 blocks of 100 000 bytes: the first decodes into an open entry before the
    // truncated second one fails.
    std::string big(250000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>((i * 2654435761u) >> 11);
    std::string package = bzip2(make_archive({{L"big.bin", L"<InstallPath>", big}}), 1);
    recorder cut;
    EXPECT_FALSE(extract(package.substr(0, package.size() * 2 / 3), cut));
    EXPECT_EQ(cut.last(), "error compress:6 C:\\Apps\\Product\\big.bin");

    recorder garbage;
    EXPECT_FALSE(extract("this is not bzip2 data", garbage));
    EXPECT_EQ(garbage.steps(), (std::vector<std::string>{"start", "error compress:6 "}));

    recorder empty;
    EXPECT_FALSE(extract("", empty));
    EXPECT_EQ(empty.events, (std::vector<std::string>{"start", "error compress:7 "}));

    // The caller's own failure at start stands, and nothing is read or written after it.
    fs::remove_all(tm.host(L"C:\\Apps"));
    recorder refused;
    std::istringstream in(bzip2(make_archive({{L"a.txt", L"<InstallPath>", "abc"}})));
    EXPECT_FALSE(dv::extract_package(in, paths, [&](notification n) {
        refused.callback()(n);
        if (n.get<notification::start>())
            throw std::system_error(compress_error::package_check_failed);
        return notification::proceed;
    }));
    EXPECT_EQ(refused.events, (std::vector<std::string>{"start", "error compress:4 "}));
    EXPECT_FALSE(exists(L"C:\\Apps\\Product"));

    win32::SetLastError(0);
    EXPECT_FALSE(dv::extract_package(in, paths, nullptr));
    EXPECT_EQ(win32::GetLastError(), win32::ERROR_INVALID_PARAMETER);
}

TEST_F(Extract, ChecksumMismatchKeepsTheFile) {
    std::vector<dv::package_entry> entries = {{L"a.txt", L"<InstallPath>", 0, 3, 0xDEADBEEF}};
    recorder r;
    EXPECT_FALSE(extract(bzip2(dv::encode_index(entries) + "abc"), r));
    EXPECT_EQ(r.last(), "error compress:3 C:\\Apps\\Product\\a.txt");
    EXPECT_EQ(content(L"C:\\Apps\\Product\\a.txt"), "abc");
}

TEST_F(Extract, TargetsAreCreatedAndOverwritten) {
    // A read-only file in the way is made writable, truncated and overwritten; a missing
    // folder chain is created.
    std::wstring ro = L"C:\\Apps\\Product\\ro.txt";
    dvtest::write_host_file(tm.host(ro), "a much longer old content");
    ASSERT_TRUE(win32::SetFileAttributesW(ro.c_str(), win32::FILE_ATTRIBUTE_READONLY));
    std::string archive = make_archive(
        {{L"ro.txt", L"<InstallPath>", "new"}, {L"d.txt", L"<InstallPath>\\a\\b\\c", "deep"}});
    recorder r;
    ASSERT_TRUE(extract(bzip2(archive), r)) << r.last();
    EXPECT_EQ(content(ro), "new");
    EXPECT_EQ(win32::GetFileAttributesW(ro.c_str()) & win32::FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_EQ(content(L"C:\\Apps\\Product\\a\\b\\c\\d.txt"), "deep");
}

TEST_F(Extract, FileSystemFailuresCarryTheWindowsCode) {
    std::wstring target = L"C:\\Apps\\Product\\held.txt";
    dvtest::write_host_file(tm.host(target), "old");
    win32::HANDLE h = win32::CreateFileW(target.c_str(), win32::GENERIC_READ, 0, nullptr,
                                         win32::OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, win32::INVALID_HANDLE_VALUE);
    recorder held;
    EXPECT_FALSE(extract(bzip2(make_archive({{L"held.txt", L"<InstallPath>", "new"}})), held));
    EXPECT_EQ(held.last(), "error system:32 C:\\Apps\\Product\\held.txt");
    EXPECT_EQ(content(target), "old");

    // Held while it is read back: a sharing violation after every retry.
    try {
        dv::file_crc32(target);
        ADD_FAILURE() << "read a file held without sharing";
    } catch (const dv::file_error& e) {
        EXPECT_EQ(e.code(), dv::system_error_code(32));
        EXPECT_EQ(e.path(), target);
    }
    win32::CloseHandle(h);
    EXPECT_EQ(dv::file_crc32(target), dv::crc32("old", 3));

    // A file where a folder must go.
    dvtest::write_host_file(tm.host(L"C:\\Apps\\Product\\Lang"), "not a folder");
    recorder blocked;
    EXPECT_FALSE(
        extract(bzip2(make_archive({{L"x.dll", L"<InstallPath>\\Lang\\en", "x"}})), blocked));
    EXPECT_EQ(blocked.last(), "error system:183 C:\\Apps\\Product\\Lang\\en\\x.dll");

    // A name Windows refuses.
    recorder invalid;
    EXPECT_FALSE(extract(bzip2(make_archive({{L"bad|name", L"<InstallPath>", "x"}})), invalid));
    EXPECT_EQ(invalid.last(), "error system:123 C:\\Apps\\Product\\bad|name");
}

TEST(ExtractShellFolders, MissingShellFolderFailsBeforeAnythingIsWritten) {
    dvtest::TempMachine tm({"switches.removed_shell_folders=0x1A"});
    std::string archive = make_archive({{L"first.txt", L"<InstallPath>", "1"},
                                        {L"pic.jpg", L"<UserData>\\Dravik & Rodezura", "2"}});
    recorder r;
    std::istringstream in(bzip2(archive));
    EXPECT_FALSE(dv::extract_package(in, {L"C:\\Apps", L"", L""}, r.callback()));
    EXPECT_EQ(r.events, (std::vector<std::string>{"start", "error compress:7 "}));
    EXPECT_FALSE(fs::exists(tm.host(L"C:\\Apps")));
}

} // namespace
