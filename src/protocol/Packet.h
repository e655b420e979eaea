#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

namespace varn {

// A bounds-checked view of the bytes of one datagram. Reading past the end yields "absent", never
// whatever happens to lie in memory beyond the datagram.
class PacketReader {
public:
    PacketReader(const std::uint8_t* data, std::size_t length) : data_(data), length_(data ? length : 0) {}

    std::size_t size() const { return length_; }
    bool has(std::size_t index) const { return index < length_; }
    // The byte at index, or absent.
    std::optional<std::uint8_t> byteAt(std::size_t index) const {
        if (index >= length_) return std::nullopt;
        return data_[index];
    }
    // The unsigned little-endian 16-bit value at index, or absent when not both bytes are there.
    std::optional<std::uint16_t> uint16At(std::size_t index) const {
        if (index > length_ || length_ - index < 2) return std::nullopt;
        return static_cast<std::uint16_t>(data_[index] | data_[index + 1] << 8);
    }
    // The unsigned little-endian 32-bit value at index, or absent when not all four bytes are there.
    std::optional<std::uint32_t> uint32At(std::size_t index) const {
        if (index > length_ || length_ - index < 4) return std::nullopt;
        return static_cast<std::uint32_t>(data_[index]) | static_cast<std::uint32_t>(data_[index + 1]) << 8 |
               static_cast<std::uint32_t>(data_[index + 2]) << 16 |
               static_cast<std::uint32_t>(data_[index + 3]) << 24;
    }
    // The bytes from index up to the first NUL or the end of the datagram, at most maxLength of them.
    std::string_view textAt(std::size_t index, std::size_t maxLength = static_cast<std::size_t>(-1)) const {
        if (index >= length_) return {};
        const std::size_t available = length_ - index < maxLength ? length_ - index : maxLength;
        const void* nul = std::memchr(data_ + index, 0, available);
        const std::size_t textLength =
            nul ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - (data_ + index)) : available;
        return {reinterpret_cast<const char*>(data_ + index), textLength};
    }
    // The bytes from index to the end of the datagram.
    PacketReader from(std::size_t index) const {
        if (index >= length_) return PacketReader(data_, 0);
        return PacketReader(data_ + index, length_ - index);
    }
    const std::uint8_t* data() const { return data_; }

private:
    const std::uint8_t* data_;
    std::size_t length_;
};

// Builds an outgoing datagram in a fixed buffer. Writes that would not fit are refused and mark the
// packet as overflowed; nothing is ever written beyond the buffer.
template <std::size_t Capacity>
class PacketWriter {
public:
    PacketWriter& byte(std::uint8_t value) {
        if (length_ + 1 > Capacity) {
            overflowed_ = true;
        } else {
            bytes_[length_++] = value;
        }
        return *this;
    }
    PacketWriter& uint16(std::uint16_t value) {
        return byte(static_cast<std::uint8_t>(value)).byte(static_cast<std::uint8_t>(value >> 8));
    }
    PacketWriter& uint32(std::uint32_t value) {
        return uint16(static_cast<std::uint16_t>(value)).uint16(static_cast<std::uint16_t>(value >> 16));
    }
    PacketWriter& bytes(const void* data, std::size_t length) {
        if (length > Capacity - length_) {
            overflowed_ = true;
        } else if (length > 0) {
            std::memcpy(bytes_ + length_, data, length);
            length_ += length;
        }
        return *this;
    }
    PacketWriter& text(std::string_view value) { return bytes(value.data(), value.size()); }

    const std::uint8_t* data() const { return bytes_; }
    std::size_t size() const { return length_; }
    std::size_t remaining() const { return Capacity - length_; }
    bool overflowed() const { return overflowed_; }
    void clear() {
        length_ = 0;
        overflowed_ = false;
    }

private:
    std::uint8_t bytes_[Capacity];
    std::size_t length_ = 0;
    bool overflowed_ = false;
};

}  // namespace varn
