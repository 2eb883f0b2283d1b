#include "tests/support/temp_machine.h"
#include "win32/error.h"
#include "win32/files.h"
#include "win32/filestream.h"
#include "win32/handles.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <iterator>
#include <string>

using namespace win32;

namespace {

using FileStream = dvtest::MachineTest;
constexpr auto kWrite = std::ios::out | std::ios::binary | std::ios::trunc;
constexpr auto kRead = std::ios::in | std::ios::binary;

std::string slurp(file_stream& s) {
    return std::string(std::istreambuf_iterator<char>(s), std::istreambuf_iterator<char>());
}

// The extraction pattern: write sharing nothing, then read back letting others read only.
TEST_F(FileStream, WriterSharesNothingReaderAdmitsOnlyReaders) {
    std::string big(10000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7);
    {
        file_stream out(L"C:\\data.bin", kWrite, 0);
        ASSERT_TRUE(out.is_open());
        out << "head:";
        out.write(big.data(), static_cast<std::streamsize>(big.size()));

        crt_doserrno() = 0;
        errno = 0;
        file_stream other(L"C:\\data.bin", kRead, FILE_SHARE_READ | FILE_SHARE_WRITE);
        EXPECT_TRUE(other.fail());
        EXPECT_EQ(other.rdbuf()->last_error(), ERROR_SHARING_VIOLATION);
        EXPECT_EQ(crt_doserrno(), ERROR_SHARING_VIOLATION);
        EXPECT_EQ(errno, EACCES);
        out.close();
        EXPECT_FALSE(out.fail());
    }
    file_stream in(L"C:\\DATA.BIN", kRead, FILE_SHARE_READ);
    ASSERT_TRUE(in.is_open());
    file_stream second(L"C:\\data.bin", kRead, FILE_SHARE_READ);
    EXPECT_TRUE(second.is_open());
    file_stream writer(L"C:\\data.bin", std::ios::in | std::ios::out | std::ios::binary,
                       FILE_SHARE_READ | FILE_SHARE_WRITE);
    EXPECT_TRUE(writer.fail());
    EXPECT_EQ(slurp(in), "head:" + big);
    EXPECT_EQ(in.get(), std::char_traits<char>::eof());
    EXPECT_TRUE(in.eof());
}

TEST_F(FileStream, ReadWriteAndSeek) {
    file_stream s(L"C:\\rw.bin", std::ios::in | std::ios::out | std::ios::trunc | std::ios::binary);
    ASSERT_TRUE(s.is_open());
    s << "0123456789";
    s.seekg(2);
    char c[3] = {};
    s.read(c, 2);
    EXPECT_EQ(std::string(c, 2), "23");
    s.seekp(0, std::ios::cur); // switching from reading to writing goes through a seek
    s << "ab";
    s.seekg(-3, std::ios::end);
    s.read(c, 3);
    EXPECT_EQ(std::string(c, 3), "789");
    EXPECT_EQ(static_cast<long long>(s.tellg()), 10);
    s.close();
    file_stream in(L"C:\\rw.bin", kRead);
    EXPECT_EQ(slurp(in), "0123ab6789");
    in.close();

    file_stream app(L"C:\\rw.bin", std::ios::app | std::ios::binary);
    app << "!";
    app.close();
    file_stream again(L"C:\\rw.bin", kRead | std::ios::ate);
    EXPECT_EQ(static_cast<long long>(again.tellg()), 11);
}

TEST_F(FileStream, OpenFailures) {
    struct Case {
        const wchar_t* path;
        std::ios::openmode mode;
        DWORD error;
        int host_errno;
    };
    const Case cases[] = {
        {L"C:\\missing.bin", kRead, ERROR_FILE_NOT_FOUND, ENOENT},
        {L"C:\\no\\file.bin", kWrite, ERROR_PATH_NOT_FOUND, ENOENT},
        {L"C:\\text.txt", std::ios::out, ERROR_INVALID_PARAMETER, EINVAL}, // no translation
        {L"C:\\x.bin", std::ios::trunc | std::ios::binary, ERROR_INVALID_PARAMETER, EINVAL},
    };
    for (const auto& c : cases) {
        crt_doserrno() = 0;
        errno = 0;
        file_stream s(c.path, c.mode);
        EXPECT_TRUE(s.fail());
        EXPECT_FALSE(s.is_open());
        EXPECT_EQ(crt_doserrno(), c.error);
        EXPECT_EQ(errno, c.host_errno);
    }
    {
        file_stream w(L"C:\\ro.bin", kWrite);
        w << "x";
    }
    ASSERT_TRUE(SetFileAttributesW(L"C:\\ro.bin", FILE_ATTRIBUTE_READONLY));
    file_stream s(L"C:\\ro.bin", kWrite);
    EXPECT_TRUE(s.fail());
    EXPECT_EQ(s.rdbuf()->last_error(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(handle_count(), 0u);
}

} // namespace
