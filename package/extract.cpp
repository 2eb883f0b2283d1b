#include "package/extract.h"

#include "package/errors.h"
#include "win32/error.h"

#include <boost/iostreams/categories.hpp>
#include <boost/iostreams/filter/bzip2.hpp>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <new>

namespace dv {
namespace {

constexpr std::streamsize chunk_size = 4096;

[[noreturn]] void fail(compress_error e, const char* what) {
    throw std::system_error(make_error_code(e), what);
}

// Offers the piece until the sink has taken all of it.
void feed_sink(package_sink& sink, const char* p, std::streamsize n) {
    while (n > 0) {
        std::streamsize taken = sink.write(p, n);
        if (taken <= 0)
            fail(compress_error::unexpected_error, "package sink accepted nothing");
        p += taken;
        n -= taken;
    }
}

// The sink as the device of the decompression stage, which hands over its output buffer at
// most 4096 bytes at a time; what the sink leaves at a region boundary is offered again here.
struct sink_device {
    using char_type = char;
    using category = boost::iostreams::sink_tag;
    package_sink* sink;
    std::streamsize write(const char* s, std::streamsize n) {
        feed_sink(*sink, s, n);
        return n;
    }
};

// Steps 2 to 8 of a run, around a feeder that pushes the whole archive into the sink and
// returns the count of bytes it read from its source.
template <class Feeder>
bool run_extraction(const path_table& paths, const extract_callback& callback, Feeder feed) {
    if (!callback) {
        win32::SetLastError(win32::ERROR_INVALID_PARAMETER);
        return false;
    }
    std::wstring current_file;
    std::unique_ptr<package_sink> sink;
    try {
        callback(notification{notification::start{}});
        sink = std::make_unique<package_sink>(paths, callback);
        try {
            std::uint64_t read = feed(*sink);
            if (sink->total() != 0 && sink->position() == sink->total()) {
                callback(notification{notification::finish{read, sink->total()}});
                return true;
            }
            fail(compress_error::unexpected_error, "package archive ended early");
        } catch (...) {
            if (sink->file_open())
                current_file = sink->current_entry().destination;
            throw;
        }
    } catch (...) {
        std::exception_ptr failure = std::current_exception();
        // What the sink itself raised first is the failure, whatever the decompression stage
        // made of it on the way out.
        if (sink && sink->failure())
            failure = sink->failure();
        sink.reset(); // closes a file still open
        failure_info info = describe_failure(failure);
        std::wstring path = current_file.empty() ? info.path : current_file;
        try {
            callback(notification{notification::error{info.code, std::move(path)}});
        } catch (...) {
            // The answer to the error event is ignored, and so is a failure to take it: the
            // result already says the run failed.
        }
        return false;
    }
}

} // namespace

failure_info describe_failure(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const boost::iostreams::bzip2_error&) {
        return {make_error_code(compress_error::bzip2_error), {}};
    } catch (const file_error& e) {
        const auto& cat = e.code().category();
        if (cat == std::system_category() || cat == std::generic_category())
            return {e.code(), e.path()};
        return {make_error_code(compress_error::unexpected_error), e.path()};
    } catch (const std::system_error& e) {
        // Includes a stream failure with no recorded system error (iostream category).
        return {e.code(), {}};
    } catch (...) {
        return {make_error_code(compress_error::unexpected_error), {}};
    }
}

package_sink::package_sink(path_table paths, extract_callback callback)
    : paths_(std::move(paths)), callback_(std::move(callback)),
      header_(std::make_unique<memstream>()) {
    header_->exceptions(std::ios_base::badbit);
}

package_sink::~package_sink() = default;

notification::result package_sink::notify(notification n) {
    if (!callback_)
        return notification::proceed;
    return callback_(std::move(n));
}

std::streamsize package_sink::write(const char* bytes, std::streamsize count) {
    if (aborted_)
        return count;
    try {
        if (count <= 0)
            return 0;
        return index_ == 0 ? write_header(bytes, count) : write_data(bytes, count);
    } catch (...) {
        aborted_ = true;
        if (!failure_)
            failure_ = std::current_exception();
        throw;
    }
}

std::streamsize package_sink::write_header(const char* bytes, std::streamsize count) {
    std::uint64_t have = header_->content().size();
    if (have < 8) {
        std::streamsize k = static_cast<std::streamsize>(std::min<std::uint64_t>(count, 8 - have));
        header_->write(bytes, k);
        if (have + static_cast<std::uint64_t>(k) == 8) {
            header_size_ = decode_header_size(header_->content().data());
            // Too short to hold even the entry count, or too long to be an index: damaged.
            if (header_size_ < archive_fixed_header || header_size_ > max_header_size)
                fail(compress_error::unexpected_error, "package header size out of range");
        }
        return k;
    }
    std::streamsize k =
        static_cast<std::streamsize>(std::min<std::uint64_t>(count, header_size_ - have));
    header_->write(bytes, k);
    if (have + static_cast<std::uint64_t>(k) == header_size_)
        read_index();
    return k;
}

void package_sink::read_index() {
    entries_ = decode_index(header_->content());
    std::uint64_t total = header_size_;
    for (auto& e : entries_) {
        e.destination =
            join_path(expand_destination(e.destination, paths_), file_name_of(e.source));
        if (e.size > std::numeric_limits<std::uint64_t>::max() - total)
            fail(compress_error::unexpected_error, "package entry sizes overflow");
        total += e.size;
    }
    header_.reset();
    position_ = header_size_;
    total_ = total;
    if (notify(notification{notification::progress{position_, total_}}) == notification::cancel)
        fail(compress_error::interrupted, "extraction cancelled");
    index_ = 1;
    settle_empty_entries();
}

std::streamsize package_sink::write_data(const char* bytes, std::streamsize count) {
    if (index_ - 1 >= entries_.size())
        fail(compress_error::unexpected_error, "data after the last package entry");
    if (!file_open_)
        begin_entry();
    const package_entry& e = entries_[index_ - 1];
    std::streamsize k = static_cast<std::streamsize>(std::min<std::uint64_t>(count, remaining_));
    if (!skip_) {
        win32::crt_doserrno() = 0;
        errno = 0;
        if (!file_->write(bytes, k))
            raise_stream_failure(e.destination, "cannot write the file");
    }
    remaining_ -= static_cast<std::uint64_t>(k);
    position_ += static_cast<std::uint64_t>(k);
    if (notify(notification{notification::progress{position_, total_}}) == notification::cancel)
        fail(compress_error::interrupted, "extraction cancelled");
    if (remaining_ == 0) {
        end_entry();
        settle_empty_entries();
    }
    return k;
}

void package_sink::begin_entry() {
    const package_entry& e = entries_[index_ - 1];
    notification::result answer = notify(notification{notification::file_begin{e}});
    if (answer == notification::cancel)
        fail(compress_error::interrupted, "extraction cancelled");
    remaining_ = e.size;
    file_open_ = true;
    skip_ = answer == notification::skip;
    if (!skip_)
        file_ = open_output_file(e.destination);
}

void package_sink::end_entry() {
    const package_entry& e = entries_[index_ - 1];
    if (!skip_) {
        // A write error that only shows when the last bytes reach the disk is still a write
        // error of this file, reported as such rather than as a checksum mismatch later.
        win32::crt_doserrno() = 0;
        errno = 0;
        file_->close();
        if (file_->fail())
            raise_stream_failure(e.destination, "cannot write the file");
        file_.reset();
        if (file_crc32(e.destination) != e.crc)
            fail(compress_error::invalid_checksum, "file checksum differs");
        if (notify(notification{notification::file_end{e}}) == notification::cancel)
            fail(compress_error::interrupted, "extraction cancelled");
    }
    file_open_ = false;
    skip_ = false;
    ++index_;
}

// An entry without data gets no write call of its own: it is written, verified and announced
// as soon as the data before it is complete, wherever it stands in the archive.
void package_sink::settle_empty_entries() {
    while (index_ - 1 < entries_.size() && entries_[index_ - 1].size == 0) {
        begin_entry();
        end_entry();
    }
}

bool extract_package(std::istream& source, const path_table& paths, extract_callback callback) {
    return run_extraction(paths, callback, [&source](package_sink& sink) -> std::uint64_t {
        namespace io = boost::iostreams;
        io::bzip2_decompressor decompressor(/*small=*/false, chunk_size);
        sink_device device{&sink};
        char buffer[chunk_size];
        std::uint64_t read = 0;
        for (;;) {
            source.read(buffer, chunk_size);
            std::streamsize got = source.gcount();
            if (got <= 0)
                break;
            read += static_cast<std::uint64_t>(got);
            const char* p = buffer;
            while (got > 0) {
                std::streamsize used = decompressor.write(device, p, got);
                if (used <= 0)
                    fail(compress_error::unexpected_error, "decompressor took no input");
                p += used;
                got -= used;
            }
        }
        if (source.bad())
            throw std::ios_base::failure("cannot read the package");
        // Nothing read means no compressed stream at all: the archive is simply missing.
        if (read > 0)
            decompressor.close(device, std::ios_base::out);
        return read;
    });
}

bool extract_archive(std::istream& archive, const path_table& paths, extract_callback callback,
                     std::size_t chunk) {
    return run_extraction(paths, callback, [&archive, chunk](package_sink& sink) -> std::uint64_t {
        std::vector<char> buffer(std::max<std::size_t>(chunk, 1));
        std::uint64_t read = 0;
        for (;;) {
            archive.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
            std::streamsize got = archive.gcount();
            if (got <= 0)
                break;
            read += static_cast<std::uint64_t>(got);
            feed_sink(sink, buffer.data(), got);
        }
        if (archive.bad())
            throw std::ios_base::failure("cannot read the archive");
        return read;
    });
}

} // namespace dv
