// The packaging tool as the publisher runs it: build, list and verify through the binary.
#include "package/archive.h"
#include "package/crc32.h"

#include <boost/iostreams/copy.hpp>
#include <boost/iostreams/filter/bzip2.hpp>
#include <boost/iostreams/filtering_stream.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/wait.h>

namespace fs = std::filesystem;
namespace io = boost::iostreams;

namespace {

struct outcome {
    int status;
    std::string output;
};

outcome run(const std::string& args) {
    std::string cmd = std::string(MKPACKAGE_PATH) + " " + args + " 2>&1";
    FILE* pipe = popen(cmd.c_str(), "r");
    std::string out;
    char buf[4096];
    while (std::size_t n = std::fread(buf, 1, sizeof buf, pipe))
        out.append(buf, n);
    int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

std::string bzip2(const std::string& bytes) {
    std::ostringstream out;
    io::filtering_ostream z;
    z.push(io::bzip2_compressor(io::bzip2_params(9)));
    z.push(out);
    z.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    z.reset();
    return out.str();
}

std::string bunzip2(const std::string& bytes) {
    std::istringstream in(bytes);
    io::filtering_istream z;
    z.push(io::bzip2_decompressor());
    z.push(in);
    std::ostringstream out;
    io::copy(z, out);
    return out.str();
}

void write_file(const fs::path& p, const std::string& bytes) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << bytes;
}

std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class MkPackage : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("mkpackage-test-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string q(const std::string& name) const { return "'" + (dir / name).string() + "'"; }
    fs::path dir;
};

TEST_F(MkPackage, BuildWritesTheArchiveAndListShowsIt) {
    write_file(dir / "src/a.txt", "abc");
    write_file(dir / "src/sub/lib.mq-lib", std::string(5000, 'x'));
    write_file(dir / "src/empty.dat", "");
    write_file(dir / "m.txt",
               "# product\n"
               "src/a.txt\t<SamplePath>\tsample\r\n"
               "\n"
               "src/sub/lib.mq-lib\t<CommonData>\\Dravik & Rodezura\\Marquetta 6\t3\n"
               "  src/empty.dat \t <Temporary> \t redistributable\n");
    outcome built = run("build " + q("m.txt") + " -o " + q("p.bz2"));
    ASSERT_EQ(built.status, 0) << built.output;

    std::vector<dv::package_entry> expected(3);
    expected[0] = {L"src/a.txt", L"<SamplePath>", 4, 3, dv::crc32("abc", 3)};
    std::string lib(5000, 'x');
    expected[1] = {L"src/sub/lib.mq-lib", L"<CommonData>\\Dravik & Rodezura\\Marquetta 6", 3, 5000,
                   dv::crc32(lib.data(), lib.size())};
    expected[2] = {L"src/empty.dat", L"<Temporary>", 5, 0, 0};
    EXPECT_EQ(bunzip2(read_file(dir / "p.bz2")), dv::encode_index(expected) + "abc" + lib);
    EXPECT_FALSE(fs::exists(dir / "p.bz2.part"));

    outcome listed = run("list " + q("p.bz2"));
    ASSERT_EQ(listed.status, 0) << listed.output;
    EXPECT_NE(listed.output.find("entries: 3\n"), std::string::npos) << listed.output;
    EXPECT_NE(listed.output.find("shared_data               5000  "), std::string::npos)
        << listed.output;
    EXPECT_NE(listed.output.find("<Temporary>\\empty.dat"), std::string::npos);
    EXPECT_EQ(run("verify " + q("p.bz2")).status, 0);
}

// A package written straight from the format description, not by the project's encoder.
TEST_F(MkPackage, ListAgreesWithAnIndependentWriter) {
    auto le = [](std::uint64_t v, int n) {
        std::string s;
        for (int i = 0; i < n; ++i)
            s += static_cast<char>(v >> (8 * i));
        return s;
    };
    auto u16 = [&](const std::string& ascii) {
        std::string s = le(ascii.size(), 4);
        for (char c : ascii)
            s += std::string{c, '\0'};
        return s;
    };
    std::string index = u16("D:\\pkg\\a.txt") + u16("<SamplePath>") + le(4, 4) + le(3, 8) +
                        le(0x352441C2, 4) + u16("C:\\b\\Marquetta.exe") + u16("<InstallPath>") +
                        le(1, 4) + le(2, 8) + le(0x12345678, 4);
    std::string archive = le(12 + index.size(), 8) + le(2, 4) + index + "abc" + "MZ";
    write_file(dir / "p.bz2", bzip2(archive));

    outcome listed = run("list " + q("p.bz2"));
    ASSERT_EQ(listed.status, 0) << listed.output;
    EXPECT_EQ(listed.output,
              "header size: 170\n"
              "entries: 2\n"
              "archive length: 175\n"
              "sample                       3  352441C2  <SamplePath>\\a.txt\n"
              "main_program                 2  12345678  <InstallPath>\\Marquetta.exe\n");
    // The CRC of the second entry is wrong, but verification only checks the stream and lengths.
    EXPECT_EQ(run("verify " + q("p.bz2")).status, 0);
    write_file(dir / "long.bz2", bzip2(archive + "!"));
    outcome longer = run("verify " + q("long.bz2"));
    EXPECT_EQ(longer.status, 1);
    EXPECT_NE(longer.output.find("176 bytes long, its index describes 175"), std::string::npos)
        << longer.output;
}

TEST_F(MkPackage, BadManifestLinesNameTheirLine) {
    write_file(dir / "a.txt", "abc");
    const std::pair<const char*, const char*> cases[] = {
        {"a.txt\t<InstallPath>\n", "m.txt:2: expected source, destination and kind"},
        {"a.txt <InstallPath> sample\n", "m.txt:2: expected source"},
        {"a.txt\t<InstallPath>\tbinary\n", "m.txt:2: unknown kind 'binary'"},
        {"a.txt\t\tsample\n", "m.txt:2: empty destination"},
        {"missing.txt\t<InstallPath>\tsample\n", "m.txt:2: no such file"},
        {"a.txt\t<InstallPath>\tsample\textra\n", "m.txt:2: expected source"},
    };
    for (auto [line, message] : cases) {
        write_file(dir / "m.txt", std::string("# header\n") + line);
        outcome r = run("build " + q("m.txt") + " -o " + q("p.bz2"));
        EXPECT_EQ(r.status, 1) << line;
        EXPECT_NE(r.output.find(message), std::string::npos) << r.output;
        EXPECT_FALSE(fs::exists(dir / "p.bz2"));
    }
}

TEST_F(MkPackage, VerifyFindsDamageAndMissingPackages) {
    std::string good = bzip2(dv::encode_index({}));
    write_file(dir / "good.bz2", good);
    write_file(dir / "cut.bz2", good.substr(0, good.size() - 6));
    std::string flipped = good;
    flipped[good.size() / 2] = static_cast<char>(flipped[good.size() / 2] ^ 0x10);
    write_file(dir / "flipped.bz2", flipped);
    write_file(dir / "empty.bz2", "");
    write_file(dir / "text.bz2", "not a package");
    write_file(dir / "short.bz2", bzip2("\x54\0\0\0"));

    EXPECT_EQ(run("verify " + q("good.bz2")).status, 0);
    for (const char* bad : {"cut.bz2", "flipped.bz2", "empty.bz2", "text.bz2", "short.bz2"}) {
        outcome r = run("verify " + q(bad));
        EXPECT_EQ(r.status, 1) << bad << ": " << r.output;
        EXPECT_NE(r.output.find("is damaged"), std::string::npos) << r.output;
    }
    outcome missing = run("verify " + q("none.bz2"));
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.output.find("no such package"), std::string::npos);
    EXPECT_EQ(run("list " + q("none.bz2")).status, 2);
    EXPECT_EQ(run("list " + q("cut.bz2")).status, 1);
    EXPECT_EQ(run("frobnicate").status, 2);
}

TEST_F(MkPackage, ExtractRoundTripsIntoAMachine) {
    std::string big(300000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>((i * 2654435761u) >> 9);
    write_file(dir / "src/Marquetta.exe", big);
    write_file(dir / "src/a.mq-proj", "sample");
    write_file(dir / "src/DSetup.dll", "dx");
    write_file(dir / "m.txt", "src/Marquetta.exe\t<InstallPath>\tmain_program\n"
                              "src/a.mq-proj\t<SamplePath>\tsample\n"
                              "src/DSetup.dll\t<Temporary>\tredistributable\n");
    ASSERT_EQ(run("build " + q("m.txt") + " -o " + q("p.bz2")).status, 0);

    std::string common = "extract " + q("p.bz2") + " --machine " + q("machine") +
                         " --install-path 'C:\\Program Files\\Marquetta 6' --temp 'C:\\T'";
    outcome r = run(common + " --sample-path Examples --check");
    ASSERT_EQ(r.status, 0) << r.output;
    fs::path c = dir / "machine/drive_c";
    EXPECT_EQ(read_file(c / "Program Files/Marquetta 6/Marquetta.exe"), big);
    EXPECT_EQ(read_file(c / "Users/Public/Desktop/Examples/a.mq-proj"), "sample");
    EXPECT_EQ(read_file(c / "T/DSetup.dll"), "dx");
    EXPECT_NE(r.output.find("main_program"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("3 files"), std::string::npos) << r.output;

    fs::remove_all(c / "T");
    r = run(common + " --skip-kind redistributable --skip-kind 4");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_FALSE(fs::exists(c / "T"));
    EXPECT_NE(r.output.find("skipped  C:\\T\\DSetup.dll"), std::string::npos) << r.output;

    // A damaged package: the code as the installer shows it (one bzip2 block, so the damage
    // shows before any file is open).
    std::string package = read_file(dir / "p.bz2");
    write_file(dir / "cut.bz2", package.substr(0, package.size() / 2));
    r = run("extract " + q("cut.bz2") + " --machine " + q("machine") + " --install-path 'C:\\P'");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("extraction failed (Error Code 6) bzip2 error\n"), std::string::npos)
        << r.output;
    r = run("extract " + q("cut.bz2") + " --machine " + q("machine") +
            " --install-path 'C:\\P' --check");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("(Error Code 4)"), std::string::npos) << r.output;

    EXPECT_EQ(run("extract " + q("none.bz2") + " --install-path 'C:\\P'").status, 2);
    EXPECT_EQ(run("extract " + q("p.bz2")).status, 2);
}

} // namespace
