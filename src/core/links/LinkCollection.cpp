#include "core/links/LinkCollection.h"

#include "core/util/TextUtil.h"

#include <algorithm>
#include <numeric>
#include <string_view>

namespace tw {

namespace {

std::string_view columnKey(LinkCollection::Column column) {
    switch (column) {
    case LinkCollection::Column::File:
        return "Dest: ";
    case LinkCollection::Column::Name:
        return "Name: ";
    case LinkCollection::Column::Address:
        break;
    }
    return "Targ: ";
}

} // namespace

std::string LinkCollection::cutFileName(const std::string& path) {
    // "表" ends in the byte of "\": the cut steps over double-byte characters.
    return fileNameOf(path);
}

bool LinkCollection::outOfRange(int index) const {
    return index < 0 || index >= static_cast<int>(m_records.size());
}

int LinkCollection::count() const {
    std::lock_guard lock(m_mutex);
    return static_cast<int>(m_records.size());
}

FetchSettings LinkCollection::link(int index) const {
    std::lock_guard lock(m_mutex);
    if (outOfRange(index)) {
        return {};
    }
    FetchSettings link = m_records.record(static_cast<std::size_t>(index));
    link.destFile = cutFileName(link.destFile);
    return link;
}

std::vector<FetchSettings> LinkCollection::links() const {
    std::vector<FetchSettings> links;
    for (int index = 0, total = count(); index < total; ++index) {
        links.push_back(link(index));
    }
    return links;
}

std::string LinkCollection::text(int index, Column column) const {
    std::lock_guard lock(m_mutex);
    if (outOfRange(index)) {
        return {};
    }
    const std::string value(m_records.value(static_cast<std::size_t>(index), columnKey(column)));
    return column == Column::File ? cutFileName(value) : value;
}

std::string LinkCollection::fileName(int index) const {
    return text(index, Column::File);
}

void LinkCollection::replace(int index, const FetchSettings& record) {
    FetchSettings link = record;
    link.destFile = cutFileName(link.destFile);
    std::lock_guard lock(m_mutex);
    if (outOfRange(index)) {
        return;
    }
    m_records.set(static_cast<std::size_t>(index), link);
    m_dirty = true;
}

int LinkCollection::remove(int index) {
    std::lock_guard lock(m_mutex);
    if (outOfRange(index)) {
        return 1;
    }
    m_records.erase(static_cast<std::size_t>(index));
    m_dirty = true;
    return 0;
}

int LinkCollection::remove(const std::vector<int>& indices) {
    std::lock_guard lock(m_mutex);
    if (std::any_of(indices.begin(), indices.end(), [this](int i) { return outOfRange(i); }) ||
        !std::is_sorted(indices.begin(), indices.end()) ||
        std::adjacent_find(indices.begin(), indices.end()) != indices.end()) {
        return 1;
    }
    if (!indices.empty()) {
        // One pass: removing a whole list of 700,000 links one by one would move it each time.
        m_records.erase(indices);
        m_dirty = true;
    }
    return 0;
}

void LinkCollection::replaceAll(std::vector<FetchSettings> records) {
    LinkRecords links;
    for (FetchSettings& record : records) {
        record.destFile = cutFileName(record.destFile);
        links.append(record);
    }
    std::lock_guard lock(m_mutex);
    m_records = std::move(links);
    m_dirty = true;
}

std::vector<int> LinkCollection::sortBy(Column column, bool descending) {
    std::lock_guard lock(m_mutex);
    std::vector<std::string_view> keys;
    keys.reserve(m_records.size());
    for (std::size_t i = 0; i < m_records.size(); ++i) {
        std::string_view value = m_records.value(i, columnKey(column));
        if (column == Column::File) {
            // The cut name is the end of the value.
            value.remove_prefix(value.size() - cutFileName(std::string(value)).size());
        }
        keys.push_back(value);
    }
    std::vector<int> order(m_records.size());
    std::iota(order.begin(), order.end(), 0);
    // string_view compares as memcmp does: bytes unsigned.
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        const int compared =
            keys[static_cast<std::size_t>(a)].compare(keys[static_cast<std::size_t>(b)]);
        return descending ? compared > 0 : compared < 0;
    });
    if (std::is_sorted(order.begin(), order.end())) {
        return order; // the order stands: nothing to save
    }
    m_records.reorder(order);
    m_dirty = true;
    return order;
}

bool LinkCollection::isDirty() const {
    std::lock_guard lock(m_mutex);
    return m_dirty;
}

void LinkCollection::assign(LinkRecords records) {
    std::lock_guard lock(m_mutex);
    m_records = std::move(records);
    m_dirty = false;
}

void LinkCollection::clear() {
    std::lock_guard lock(m_mutex);
    m_records.clear();
    m_dirty = false;
}

bool LinkCollection::appendText(int index, std::string& out) const {
    std::lock_guard lock(m_mutex);
    if (outOfRange(index)) {
        return false;
    }
    out.append(m_records.text(static_cast<std::size_t>(index)));
    return true;
}

void LinkCollection::markSaved() {
    std::lock_guard lock(m_mutex);
    m_dirty = false;
}

} // namespace tw
