#pragma once

#include "core/links/LinkRecords.h"
#include "core/records/FetchSettings.h"

#include <mutex>
#include <string>
#include <vector>

namespace tw {

/// The links of one list in their order, each a FetchSettings record kept as its text
/// (LinkRecords), and whether they changed since they were loaded or saved.
///
/// A link's destFile is a bare file name: every record that comes in is cut to one (cutFileName),
/// and every copy that goes out is too. Safe for the update worker's thread beside the owner's:
/// each call takes the lock, so the worker replaces the link it refreshed while the owner reads.
class LinkCollection {
public:
    /// The columns a dialog shows and sorts by.
    enum class Column { File = 0, Name = 1, Address = 2 };

    int count() const;
    /// A copy of link `index`; an empty record for an index out of range.
    FetchSettings link(int index) const;
    /// Copies of every link (a short list; a long one is read row by row with text()).
    std::vector<FetchSettings> links() const;
    /// The text of one column of link `index` as link() would give it; "" out of range.
    std::string text(int index, Column column) const;
    /// The file name of link `index` (cut to a bare name); "" out of range.
    std::string fileName(int index) const;

    /// Stores `record` as link `index`; marks the list changed. Out of range does nothing.
    void replace(int index, const FetchSettings& record);
    /// Removes the link; 0 done, 1 index out of range.
    int remove(int index);
    /// Removes the links at `indices` (ascending, no index twice) at once, however many: 0 done,
    /// 1 when one is out of range (nothing removed).
    int remove(const std::vector<int>& indices);
    /// The list becomes exactly `records`, in that order.
    void replaceAll(std::vector<FetchSettings> records);
    /// Reorders the links by the column's text (destFile, name, targetUrl), compared byte by
    /// byte, ascending or descending; equal texts keep their order. Marks the list changed when
    /// the order changed. Returns the old index of each link in the new order.
    std::vector<int> sortBy(Column column, bool descending);

    /// True when the links changed since they were taken or saved.
    bool isDirty() const;

    // For the list file.

    /// The links become `records` as a file held them; unchanged since.
    void assign(LinkRecords records);
    /// No links, unchanged.
    void clear();
    /// Appends the text of link `index` as it is to be written; false out of range.
    bool appendText(int index, std::string& out) const;
    /// The links as they are now were written.
    void markSaved();

    /// A file name as read from a shared file: the part after the last "/" and the last "\".
    static std::string cutFileName(const std::string& path);

private:
    bool outOfRange(int index) const;

    mutable std::mutex m_mutex; // guards m_records and m_dirty against the worker
    LinkRecords m_records;
    bool m_dirty = false;
};

} // namespace tw
