#include "dv/memstream.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

std::string content_of(const dv::membuf& b) {
    auto c = b.content();
    return std::string(c.data(), c.size());
}

TEST(MemStream, ExternalBlockIsReadInPlace) {
    static const char block[] = "0123456789";
    dv::imemstream in(block, 10);
    EXPECT_EQ(in.content().data(), block);
    EXPECT_EQ(in.content().size(), 10u);

    char four[4];
    ASSERT_TRUE(in.read(four, 4));
    EXPECT_EQ(std::string(four, 4), "0123");
    EXPECT_EQ(in.tellg(), 4);

    // Putting back what was read works; changing a read-only block does not.
    EXPECT_TRUE(in.putback('3'));
    EXPECT_FALSE(in.putback('x'));
    in.clear();

    EXPECT_EQ(in.seekg(-2, std::ios_base::end).tellg(), 8);
    EXPECT_EQ(in.get(), '8');
    EXPECT_EQ(in.seekg(1, std::ios_base::cur).tellg(), 10);
    EXPECT_EQ(in.get(), std::char_traits<char>::eof());
    in.clear();
    // Outside the data, in either direction.
    EXPECT_TRUE(in.seekg(11).fail());
    in.clear();
    EXPECT_TRUE(in.seekg(-1, std::ios_base::beg).fail());
    in.clear();
    // No writing through an input buffer.
    EXPECT_EQ(in.rdbuf()->sputc('x'), std::char_traits<char>::eof());
}

TEST(MemStream, EmptyInputStreamReadsNothing) {
    dv::imemstream in;
    EXPECT_EQ(in.content().size(), 0u);
    EXPECT_EQ(in.get(), std::char_traits<char>::eof());
    EXPECT_TRUE(in.eof());
}

TEST(MemStream, OwnStorageGrowsByHalfAndAtLeast256) {
    dv::membuf b;
    EXPECT_EQ(b.capacity(), 0u);
    const std::pair<std::size_t, std::size_t> steps[] = {{1, 256},   {256, 256},  {257, 512},
                                                         {513, 768}, {769, 1152}, {2000, 2592}};
    std::size_t written = 0;
    for (auto [total, capacity] : steps) {
        std::string more(total - written, static_cast<char>('a' + written % 26));
        ASSERT_EQ(b.sputn(more.data(), static_cast<std::streamsize>(more.size())),
                  static_cast<std::streamsize>(more.size()));
        written = total;
        EXPECT_EQ(b.capacity(), capacity) << "after " << total;
        EXPECT_EQ(b.content().size(), total);
    }
}

TEST(MemStream, ReadAndWritePositionsAreSeparate) {
    dv::memstream s;
    s << "hello world";
    char five[5];
    ASSERT_TRUE(s.read(five, 5));
    EXPECT_EQ(std::string(five, 5), "hello");
    s << "!!";
    EXPECT_EQ(s.tellg(), 5);
    EXPECT_EQ(s.tellp(), 13);

    // Moving the write position back and overwriting keeps everything written so far.
    s.seekp(0);
    s << "J";
    EXPECT_EQ(s.tellp(), 1);
    EXPECT_EQ(content_of(*s.rdbuf()), "Jello world!!");
    std::string rest;
    s >> rest;
    EXPECT_EQ(rest, "world!!");

    // The content covers what was written, not what was read; a write seek past it fails.
    s.clear();
    EXPECT_TRUE(s.seekp(14).fail());
    s.clear();
    EXPECT_EQ(s.seekp(0, std::ios_base::end).tellp(), 13);
}

TEST(MemStream, PutbackIntoOwnStorageMayChangeIt) {
    dv::memstream s;
    s << "abc";
    EXPECT_EQ(s.get(), 'a');
    EXPECT_TRUE(s.putback('z'));
    EXPECT_EQ(content_of(*s.rdbuf()), "zbc");
}

TEST(MemStream, LargeWritesAndMovesKeepTheBytes) {
    std::string big(1 << 20, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7);
    dv::memstream s;
    for (std::size_t at = 0; at < big.size(); at += 4096)
        s.write(big.data() + at, 4096);
    dv::memstream moved(std::move(s));
    EXPECT_EQ(content_of(*moved.rdbuf()), big);
    std::string back(big.size(), '\0');
    ASSERT_TRUE(moved.read(back.data(), static_cast<std::streamsize>(back.size())));
    EXPECT_EQ(back, big);

    dv::imemstream in(big.data(), big.size());
    dv::imemstream in2(std::move(in));
    in2.seekg(4096);
    EXPECT_EQ(in2.get(), static_cast<unsigned char>(big[4096]));
}

TEST(MemStream, AppendAndAtEndModes) {
    char block[8] = {'a', 'b', 'c', 0, 0, 0, 0, 0};
    // At-end starts writing after the existing data; the block never grows.
    dv::membuf ate(block, 3, std::ios_base::in | std::ios_base::out | std::ios_base::ate);
    EXPECT_EQ(ate.sputn("defgh", 5), 0); // an external block of length 3 has no room
    dv::membuf room(block, 8, std::ios_base::out | std::ios_base::trunc);
    EXPECT_EQ(room.sputn("12345678", 8), 8);
    EXPECT_EQ(room.sputc('9'), std::char_traits<char>::eof());
    EXPECT_EQ(std::string(block, 8), "12345678");

    dv::membuf app(std::ios_base::in | std::ios_base::out | std::ios_base::app);
    app.sputn("xyz", 3);
    app.pubseekpos(0, std::ios_base::out);
    app.sputn("!", 1);
    EXPECT_EQ(content_of(app), "xyz!");
}

} // namespace
