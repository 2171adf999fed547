#pragma once

#include "core/util/SourceText.h"

#include <QColor>
#include <QObject>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class QPlainTextEdit;

namespace tw {
class CodeConverter;
class FetchRequest;
class PageDownload;
class Prompter;
class WatchSettings;
} // namespace tw

namespace tw::gui {

class SourceDownload;

/// The source view of the check option page: it downloads an item's page into the place the
/// next check compares with, shows the page, marks the anchor keyword in red and the area behind
/// it in blue, and turns a selection into a keyword or an area. Offsets are counted in bytes of
/// the page as the checker converts it, whatever the view counts. What it has to tell the user
/// comes out through message().
class SourcePreview : public QObject {
    Q_OBJECT
public:
    /// A range of view positions.
    struct Range {
        int start = 0;
        int end = 0;
        bool empty() const { return end <= start; }
    };
    /// What a download needs besides the item.
    struct Services {
        /// The data folder, where relative file names of the item are found.
        std::string dataFolder;
        /// Null converts with one of the view's own.
        CodeConverter* converter = nullptr;
        /// Credentials prompts; null refuses them.
        Prompter* prompter = nullptr;
    };
    /// A keyword taken from a selection, and which of its occurrences it is.
    struct Keyword {
        QString text;
        int occurrence = 1;
    };
    /// An area taken from a selection: where it starts from the keyword's end, and its size.
    struct Area {
        std::int64_t offset = 0;
        std::int64_t size = 0;
    };

    explicit SourcePreview(QPlainTextEdit* view, QObject* parent = nullptr);
    ~SourcePreview() override;

    /// Forgets the page and its marks, and stops a download (a new opening of the sheet).
    void clear();

    /// Downloads the page of `item` and shows it; once it ends, `item` takes what the download
    /// changed (the logins typed, the name of the stored copy or of the save file), and shown()
    /// follows. False, the user told why, when it cannot start. `item` must stay until the
    /// download ends or is stopped.
    bool download(WatchSettings& item, const Services& services);
    /// Stops the download in flight: nothing of it is applied.
    void stopDownload();
    bool downloading() const;

    bool empty() const { return m_source.empty(); }
    const SourceText& source() const { return m_source; }
    Range keywordRange() const { return m_keywordRange; }
    Range areaRange() const { return m_areaRange; }
    QPlainTextEdit* view() const { return m_view; }

    /// Marks the `occurrence`-th match of `keyword`, or the last when there are fewer (the user
    /// is told so). The number of the match marked; 0 when there is none (told, and the area's
    /// mark is removed when the keyword is empty).
    int markKeyword(const QString& keyword, int occurrence);
    /// Marks the area the checker cuts: none without the keyword's occurrence, and never past
    /// the end of the page.
    void markArea(const QString& keyword, int occurrence, std::int64_t offset, std::int64_t size);
    /// Scrolls the view so that the line holding `position` is the first shown.
    void scrollToLineOf(int position);

    /// The selection as the new keyword, marked; nothing when there is no selection or when it
    /// cannot be one (told).
    std::optional<Keyword> pickKeyword();
    /// The selection as the new area behind the `occurrence`-th match of `keyword`, marked;
    /// nothing when there is no selection or no such match (told).
    std::optional<Area> pickArea(const QString& keyword, int occurrence);

signals:
    /// Something to tell the user.
    void message(const QString& text);
    /// A download started (true) or ended (false).
    void downloadingChanged(bool downloading);
    /// A downloaded page is shown, without marks.
    void shown();

private:
    void downloadFinished(const FetchRequest& request, PageDownload& download, bool cancelled);
    void setSourceText(std::string page);
    void mark(Range range, const QColor& color);
    void unmark(Range& range);
    CodeConverter* converter();

    QPlainTextEdit* m_view;
    SourceDownload* m_download;
    WatchSettings* m_item = nullptr;
    CodeConverter* m_converter = nullptr;
    std::unique_ptr<CodeConverter> m_ownConverter;
    SourceText m_source;
    Range m_keywordRange;
    Range m_areaRange;
};

} // namespace tw::gui
