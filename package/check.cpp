#include "package/check.h"

#include "package/archive.h"
#include "package/errors.h"

#include <boost/iostreams/categories.hpp>
#include <boost/iostreams/filter/bzip2.hpp>

#include <algorithm>
#include <bzlib.h>

namespace dv {
namespace {

constexpr std::streamsize chunk_size = 4096;

// Counts what it is given and keeps the archive header, nothing else.
struct counting_sink {
    using char_type = char;
    using category = boost::iostreams::sink_tag;
    package_check* result;
    std::streamsize write(const char* s, std::streamsize n) {
        std::string& header = result->header;
        std::size_t at = 0;
        for (;;) {
            std::uint64_t wanted = 8;
            if (header.size() >= 8)
                wanted = std::min(decode_header_size(header.data()), max_header_size);
            if (header.size() >= wanted || at == static_cast<std::size_t>(n))
                break;
            std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(
                static_cast<std::uint64_t>(n) - at, wanted - header.size()));
            header.append(s + at, take);
            at += take;
        }
        result->archive += static_cast<std::uint64_t>(n);
        return n;
    }
};

std::string bzip2_reason(int error) {
    switch (error) {
    case BZ_DATA_ERROR:
        return "corrupt compressed data";
    case BZ_DATA_ERROR_MAGIC:
        return "not a bzip2 stream";
    case BZ_MEM_ERROR:
        return "out of memory";
    default:
        if (error == boost::iostreams::bzip2::unexpected_eof)
            return "compressed stream is truncated";
        return "bzip2 error " + std::to_string(error);
    }
}

} // namespace

package_check check_package(std::istream& source) {
    namespace io = boost::iostreams;
    package_check result;
    try {
        io::bzip2_decompressor decompressor(/*small=*/false, chunk_size);
        counting_sink sink{&result};
        char buffer[chunk_size];
        for (;;) {
            source.read(buffer, chunk_size);
            std::streamsize got = source.gcount();
            if (got <= 0)
                break;
            result.compressed += static_cast<std::uint64_t>(got);
            const char* p = buffer;
            while (got > 0) {
                std::streamsize used = decompressor.write(sink, p, got);
                if (used <= 0)
                    throw io::bzip2_error(BZ_DATA_ERROR);
                p += used;
                got -= used;
            }
        }
        if (source.bad()) {
            result.code = std::make_error_code(std::io_errc::stream);
            result.reason = "cannot read the package";
        } else if (result.compressed == 0) {
            result.code = compress_error::unexpected_error;
            result.reason = "the package is empty";
        } else {
            decompressor.close(sink, std::ios_base::out);
        }
    } catch (const io::bzip2_error& e) {
        result.code = compress_error::bzip2_error;
        result.reason = bzip2_reason(e.error());
    } catch (const std::bad_alloc&) {
        result.code = compress_error::unexpected_error;
        result.reason = "out of memory";
    }
    return result;
}

} // namespace dv
