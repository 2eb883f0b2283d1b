// Byte streams over one block of memory: read a resource in place without copying it, or
// collect bytes in storage that grows as they arrive.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <ios>
#include <istream>
#include <limits>
#include <memory>
#include <span>
#include <streambuf>
#include <string>
#include <utility>

namespace dv {

template <class CharT, class Traits = std::char_traits<CharT>>
class basic_membuf : public std::basic_streambuf<CharT, Traits> {
    using base = std::basic_streambuf<CharT, Traits>;

public:
    using char_type = CharT;
    using traits_type = Traits;
    using int_type = typename Traits::int_type;
    using pos_type = typename Traits::pos_type;
    using off_type = typename Traits::off_type;

    // Empty, with storage of its own that grows on writes.
    explicit basic_membuf(std::ios_base::openmode mode = std::ios_base::in | std::ios_base::out)
        : mode_(mode) {
        reset_pointers(nullptr, 0, 0);
    }

    // Over an external block that the buffer neither copies, owns nor frees. The block is all
    // written data unless `trunc` says otherwise; writes stay inside it.
    basic_membuf(const CharT* start, std::size_t length,
                 std::ios_base::openmode mode = std::ios_base::in)
        : mode_(mode), external_(true) {
        std::size_t written = (mode & std::ios_base::trunc) ? 0 : length;
        reset_pointers(const_cast<CharT*>(start), length, written);
    }

    basic_membuf(const basic_membuf&) = delete;
    basic_membuf& operator=(const basic_membuf&) = delete;

    basic_membuf(basic_membuf&& other) noexcept : base(other) { take(other); }

    basic_membuf& operator=(basic_membuf&& other) noexcept {
        if (this != &other) {
            base::operator=(other);
            take(other);
        }
        return *this;
    }

    void swap(basic_membuf& other) noexcept {
        basic_membuf tmp(std::move(other));
        other = std::move(*this);
        *this = std::move(tmp);
    }

    // Everything written so far (up to the highest write position reached), however much of
    // it has been read.
    std::span<const CharT> content() const { return std::span<const CharT>(block_, high_water()); }

    std::ios_base::openmode mode() const { return mode_; }
    // Characters the storage holds before it must grow again.
    std::size_t capacity() const { return capacity_; }

protected:
    int_type underflow() override {
        if (!(mode_ & std::ios_base::in))
            return Traits::eof();
        std::size_t end = high_water();
        if (this->gptr() < block_ + end) {
            this->setg(this->eback(), this->gptr(), block_ + end);
            return Traits::to_int_type(*this->gptr());
        }
        return Traits::eof();
    }

    int_type pbackfail(int_type c) override {
        if (this->gptr() == this->eback())
            return Traits::eof();
        if (Traits::eq_int_type(c, Traits::eof())) {
            this->gbump(-1);
            return Traits::not_eof(c);
        }
        if (Traits::eq(Traits::to_char_type(c), this->gptr()[-1])) {
            this->gbump(-1);
            return c;
        }
        // Putting back a different character changes the data: only a writable buffer may.
        if (!(mode_ & std::ios_base::out))
            return Traits::eof();
        this->gbump(-1);
        *this->gptr() = Traits::to_char_type(c);
        return c;
    }

    int_type overflow(int_type c) override {
        if (!(mode_ & std::ios_base::out))
            return Traits::eof();
        if (Traits::eq_int_type(c, Traits::eof()))
            return Traits::not_eof(c);
        if (mode_ & std::ios_base::app)
            move_put_to_end();
        if (this->pptr() == this->epptr() && !grow(1))
            return Traits::eof();
        *this->pptr() = Traits::to_char_type(c);
        this->pbump(1);
        note_written();
        return c;
    }

    std::streamsize xsputn(const CharT* s, std::streamsize n) override {
        if (!(mode_ & std::ios_base::out) || n <= 0)
            return 0;
        if (mode_ & std::ios_base::app)
            move_put_to_end();
        std::size_t want = static_cast<std::size_t>(n);
        std::size_t room = static_cast<std::size_t>(this->epptr() - this->pptr());
        if (room < want && !grow(want))
            want = static_cast<std::size_t>(this->epptr() - this->pptr());
        if (want == 0)
            return 0;
        Traits::copy(this->pptr(), s, want);
        advance_put(want);
        note_written();
        return static_cast<std::streamsize>(want);
    }

    std::streamsize xsgetn(CharT* s, std::streamsize n) override {
        if (!(mode_ & std::ios_base::in) || n <= 0)
            return 0;
        std::size_t end = high_water();
        std::size_t at = static_cast<std::size_t>(this->gptr() - block_);
        std::size_t take_n = std::min<std::size_t>(static_cast<std::size_t>(n), end - at);
        if (take_n)
            Traits::copy(s, this->gptr(), take_n);
        this->setg(this->eback(), this->gptr() + take_n, block_ + end);
        return static_cast<std::streamsize>(take_n);
    }

    std::streamsize showmanyc() override {
        if (!(mode_ & std::ios_base::in))
            return -1;
        std::size_t end = high_water();
        std::size_t at = static_cast<std::size_t>(this->gptr() - block_);
        return end > at ? static_cast<std::streamsize>(end - at) : -1;
    }

    pos_type seekoff(off_type off, std::ios_base::seekdir dir,
                     std::ios_base::openmode which = std::ios_base::in |
                                                     std::ios_base::out) override {
        const pos_type fail = pos_type(off_type(-1));
        bool in = (which & std::ios_base::in) && (mode_ & std::ios_base::in);
        bool out = (which & std::ios_base::out) && (mode_ & std::ios_base::out);
        if (!in && !out)
            return fail;
        // Both positions at once from "current" has no single meaning.
        if (in && out && dir == std::ios_base::cur)
            return fail;
        std::size_t end = high_water();
        auto target = [&](std::size_t current) -> off_type {
            off_type basis = dir == std::ios_base::beg   ? 0
                             : dir == std::ios_base::cur ? static_cast<off_type>(current)
                                                         : static_cast<off_type>(end);
            if ((off > 0 && basis > std::numeric_limits<off_type>::max() - off))
                return -1;
            off_type result = basis + off;
            return result < 0 || result > static_cast<off_type>(end) ? -1 : result;
        };
        off_type in_at = in ? target(static_cast<std::size_t>(this->gptr() - block_)) : 0;
        off_type out_at = out ? target(static_cast<std::size_t>(this->pptr() - block_)) : 0;
        if (in_at < 0 || out_at < 0)
            return fail;
        if (in)
            this->setg(block_, block_ + in_at, block_ + end);
        if (out) {
            this->setp(block_, block_ + capacity_);
            advance_put(static_cast<std::size_t>(out_at));
        }
        return pos_type(in ? in_at : out_at);
    }

    pos_type seekpos(pos_type pos, std::ios_base::openmode which = std::ios_base::in |
                                                                   std::ios_base::out) override {
        return seekoff(off_type(pos), std::ios_base::beg, which);
    }

private:
    std::size_t high_water() const {
        std::size_t put = this->pptr() ? static_cast<std::size_t>(this->pptr() - block_) : 0;
        return std::max(written_, put);
    }

    void note_written() { written_ = high_water(); }

    void move_put_to_end() {
        std::size_t end = high_water();
        this->setp(block_, block_ + capacity_);
        advance_put(end);
    }

    // pbump takes an int; positions can be larger.
    void advance_put(std::size_t n) {
        while (n > 0) {
            int step = static_cast<int>(std::min<std::size_t>(n, std::numeric_limits<int>::max()));
            this->pbump(step);
            n -= static_cast<std::size_t>(step);
        }
    }

    void reset_pointers(CharT* block, std::size_t capacity, std::size_t written) {
        block_ = block;
        capacity_ = capacity;
        written_ = written;
        std::size_t put_at = (mode_ & (std::ios_base::ate | std::ios_base::app)) ? written : 0;
        if (mode_ & std::ios_base::in)
            this->setg(block_, block_, block_ + written);
        else
            this->setg(block_, block_, block_);
        if (mode_ & std::ios_base::out) {
            this->setp(block_, block_ + capacity_);
            advance_put(put_at);
        } else {
            this->setp(nullptr, nullptr);
        }
    }

    // Grows own storage until `needed` more characters fit: each step adds half the current
    // length, at least 256, halving the step while it would overflow the length.
    bool grow(std::size_t needed) {
        if (external_)
            return false;
        const std::size_t limit = std::numeric_limits<std::ptrdiff_t>::max() / sizeof(CharT);
        std::size_t capacity = capacity_;
        std::size_t used = static_cast<std::size_t>(this->pptr() - block_);
        while (capacity - used < needed) {
            std::size_t step = std::max<std::size_t>(capacity / 2, 256);
            while (step > 0 && step > limit - capacity)
                step /= 2;
            if (step == 0)
                return false;
            capacity += step;
        }
        std::unique_ptr<CharT[]> fresh(new CharT[capacity]);
        std::size_t keep = high_water();
        if (keep)
            Traits::copy(fresh.get(), block_, keep);
        std::size_t get_at = this->gptr() ? static_cast<std::size_t>(this->gptr() - block_) : 0;
        owned_ = std::move(fresh);
        block_ = owned_.get();
        capacity_ = capacity;
        written_ = keep;
        this->setp(block_, block_ + capacity_);
        advance_put(used);
        if (mode_ & std::ios_base::in)
            this->setg(block_, block_ + get_at, block_ + keep);
        return true;
    }

    void take(basic_membuf& other) noexcept {
        mode_ = other.mode_;
        external_ = other.external_;
        owned_ = std::move(other.owned_);
        block_ = other.block_;
        capacity_ = other.capacity_;
        written_ = other.written_;
        other.external_ = false;
        other.block_ = nullptr;
        other.capacity_ = 0;
        other.written_ = 0;
        other.setg(nullptr, nullptr, nullptr);
        other.setp(nullptr, nullptr);
    }

    std::ios_base::openmode mode_;
    bool external_ = false;
    std::unique_ptr<CharT[]> owned_;
    CharT* block_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t written_ = 0; // highest write position reached before the current put area
};

// An input stream over an external block (for example a resource read in place).
template <class CharT, class Traits = std::char_traits<CharT>>
class basic_imemstream : public std::basic_istream<CharT, Traits> {
    using base = std::basic_istream<CharT, Traits>;

public:
    basic_imemstream() : base(nullptr), buf_(nullptr, 0, std::ios_base::in) { this->init(&buf_); }
    basic_imemstream(const CharT* start, std::size_t length)
        : base(nullptr), buf_(start, length, std::ios_base::in) {
        this->init(&buf_);
    }

    basic_imemstream(basic_imemstream&& other) noexcept
        : base(std::move(other)), buf_(std::move(other.buf_)) {
        base::set_rdbuf(&buf_);
    }
    basic_imemstream& operator=(basic_imemstream&& other) noexcept {
        base::operator=(std::move(other));
        buf_ = std::move(other.buf_);
        return *this;
    }

    basic_membuf<CharT, Traits>* rdbuf() const {
        return const_cast<basic_membuf<CharT, Traits>*>(&buf_);
    }
    std::span<const CharT> content() const { return buf_.content(); }

private:
    basic_membuf<CharT, Traits> buf_;
};

// An input and output stream over storage of its own that grows as it is written.
template <class CharT, class Traits = std::char_traits<CharT>>
class basic_memstream : public std::basic_iostream<CharT, Traits> {
    using base = std::basic_iostream<CharT, Traits>;

public:
    basic_memstream() : base(nullptr), buf_(std::ios_base::in | std::ios_base::out) {
        this->init(&buf_);
    }

    basic_memstream(basic_memstream&& other) noexcept
        : base(std::move(other)), buf_(std::move(other.buf_)) {
        base::set_rdbuf(&buf_);
    }
    basic_memstream& operator=(basic_memstream&& other) noexcept {
        base::operator=(std::move(other));
        buf_ = std::move(other.buf_);
        return *this;
    }

    basic_membuf<CharT, Traits>* rdbuf() const {
        return const_cast<basic_membuf<CharT, Traits>*>(&buf_);
    }
    std::span<const CharT> content() const { return buf_.content(); }

private:
    basic_membuf<CharT, Traits> buf_;
};

using membuf = basic_membuf<char>;
using imemstream = basic_imemstream<char>;
using memstream = basic_memstream<char>;

extern template class basic_membuf<char>;
extern template class basic_imemstream<char>;
extern template class basic_memstream<char>;

} // namespace dv
