#pragma once

#include "core/records/FetchSettings.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tw {

/// The records of a link list, each kept as the text of its block (from the opening line to the
/// closing line) in one shared buffer. A list of a million links then takes about the size of its
/// file, where the same links parsed into FetchSettings took seven times that and more.
///
/// A record read from the file keeps its bytes until it is changed, so that a save writes it back
/// as the sibling wrote it (keys only the sibling knows included); a changed record holds the
/// text of the record writer, with CR LF line ends as the file has them. Not thread-safe: the
/// owner guards it.
class LinkRecords {
public:
    std::size_t size() const { return m_start.size(); }
    bool empty() const { return m_start.empty(); }
    /// Drops every record and gives the memory back.
    void clear();
    /// Room for `bytes` of record text, so that a load does not copy the buffer as it grows.
    void reserve(std::size_t bytes) { m_text.reserve(bytes); }

    /// Appends a record block exactly as it stands (opening line to closing line).
    void appendText(std::string_view block);
    void append(const FetchSettings& record);
    /// Replaces record `index` with the record writer's text of `record`.
    void set(std::size_t index, const FetchSettings& record);
    void erase(std::size_t index);
    /// Erases the records at `indices` (ascending, each in range) in one pass.
    void erase(const std::vector<int>& indices);
    /// The records in the order `order` gives: new position i holds the old record order[i].
    void reorder(const std::vector<int>& order);

    /// The block of record `index` as it would be written.
    std::string_view text(std::size_t index) const;
    /// Record `index` as the record reader reads it.
    FetchSettings record(std::size_t index) const;
    /// The value of the text key `key` ("Dest: ", "Name: ", "Targ: ") in record `index` as the
    /// record reader takes it (its last line counts); "" when the record has none.
    std::string_view value(std::size_t index, std::string_view key) const;

    /// The bytes this store holds, for benchmarks.
    std::size_t memoryBytes() const;

    /// The record writer's text of `record` with CR LF line ends.
    static std::string blockOf(const FetchSettings& record);

private:
    void store(std::size_t index, std::string_view block);
    void compactIfWasteful();

    std::string m_text;
    std::vector<std::uint64_t> m_start;
    std::vector<std::uint32_t> m_length;
    /// Bytes of m_text that no record uses any more (replaced or erased records).
    std::size_t m_unused = 0;
};

} // namespace tw
