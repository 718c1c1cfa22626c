// The upgrade files of a manifest kept small: digests as bytes, names packed one after another, and an
// index by upper-cased name; entries are read back as ManifestFileEntry values.
#pragma once

#include "system/Sha256Hash.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace ZEPMaintenance {

struct ManifestFileEntry {
    Sha1Hash hash;         // empty for post-upgrade entries
    Sha256Hash sha256;     // the sha256 attribute; empty without one, and then not checked
    std::wstring fileName; // the element's text, verbatim
    std::wstring args;     // the args attribute, or empty
};

// Values in blocks of a fixed count: growing never moves what is there, so a long list costs neither a
// copy of itself nor room for as many again.
template <class T> class BlockList {
public:
    static constexpr std::size_t kBlock = 4096;
    BlockList() = default;
    BlockList(BlockList&&) noexcept = default;
    BlockList& operator=(BlockList&&) noexcept = default;
    BlockList(const BlockList& other) : size_(other.size_) {
        for (const std::unique_ptr<T[]>& block : other.blocks_) {
            blocks_.push_back(std::make_unique<T[]>(kBlock));
            std::copy(block.get(), block.get() + kBlock, blocks_.back().get());
        }
    }
    BlockList& operator=(const BlockList& other) {
        if (this != &other) {
            *this = BlockList(other);
        }
        return *this;
    }
    ~BlockList() = default;

    void push_back(const T& value) {
        if (size_ == blocks_.size() * kBlock) {
            blocks_.push_back(std::make_unique<T[]>(kBlock));
        }
        blocks_[size_ / kBlock][size_ % kBlock] = value;
        ++size_;
    }
    T& operator[](std::size_t position) { return blocks_[position / kBlock][position % kBlock]; }
    const T& operator[](std::size_t position) const { return blocks_[position / kBlock][position % kBlock]; }
    std::size_t size() const { return size_; }

private:
    std::vector<std::unique_ptr<T[]>> blocks_;
    std::size_t size_ = 0;
};

class ManifestFileList {
public:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);
    using Sha1Bytes = std::array<uint8_t, 20>;
    using Sha256Bytes = std::array<uint8_t, 32>;

    class Iterator {
    public:
        using iterator_category = std::input_iterator_tag;
        using value_type = ManifestFileEntry;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = ManifestFileEntry;

        Iterator(const ManifestFileList* list, std::size_t position) : list_(list), position_(position) {}
        ManifestFileEntry operator*() const { return (*list_)[position_]; }
        Iterator& operator++() {
            ++position_;
            return *this;
        }
        bool operator==(const Iterator& other) const { return position_ == other.position_; }
        bool operator!=(const Iterator& other) const { return position_ != other.position_; }

    private:
        const ManifestFileList* list_;
        std::size_t position_;
    };

    // Entries in manifest order; Index once the last one is in, before any lookup.
    void Add(const std::wstring& fileName, const Sha1Bytes& sha1, const Sha256Bytes* sha256);
    void Index();

    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.size() == 0; }
    ManifestFileEntry operator[](std::size_t position) const;
    Iterator begin() const { return Iterator(this, 0); }
    Iterator end() const { return Iterator(this, size()); }

    std::wstring NameOf(std::size_t position) const;
    // The SHA-1 as upper-case text, the SHA-256 as lower-case text (empty without one).
    std::string Sha1TextOf(std::size_t position) const;
    std::string Sha256TextOf(std::size_t position) const;

    // The first entry whose name upper-cased is name upper-cased, or npos.
    std::size_t FindName(const std::wstring& name) const;
    // The first entry of that name whose SHA-1 is the digests' and whose SHA-256, where it has one, too.
    std::size_t Find(const std::wstring& name, const FileDigests& digests) const;
    // True for the first entry of each name.
    bool IsFirstOfName(std::size_t position) const { return FindName(NameOf(position)) == position; }

private:
    static constexpr uint32_t kNone = 0xFFFFFFFFu;
    struct Packed {
        Sha1Bytes sha1;
        uint32_t nameEnd;        // the name's bytes end here in names_, and the next one's begin
        uint32_t sha256 = kNone; // position in sha256s_
        uint32_t upperHash = 0;
        uint32_t nextOfName = kNone; // the next entry of the same upper-cased name, in manifest order
    };
    std::size_t FindUpper(const std::wstring& upper, uint32_t hash) const;
    bool SameDigests(std::size_t position, const FileDigests& digests) const;

    BlockList<Packed> entries_;
    BlockList<char> names_;
    BlockList<Sha256Bytes> sha256s_;
    std::vector<uint32_t> slots_; // open addressing: the first entry of each name
};

// Exactly size bytes of hexadecimal text of either case into bytes; false for anything else.
bool HexToBytes(const std::string& text, uint8_t* bytes, std::size_t size);

} // namespace ZEPMaintenance
