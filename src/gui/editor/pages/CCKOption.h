#pragma once

#include "editor/sheet/SheetPage.h"
#include "util/SourceText.h"

#include <QColor>

#include <memory>
#include <optional>
#include <string>

class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace tw {
class CodeConverter;
class FetchRequest;
class PageDownload;
} // namespace tw

namespace tw::gui {

class CNumEdit;
class SourceDownload;

/// "チェックオプション": which part of the page is compared from one check to the next (an
/// anchor keyword, its occurrence, the offset and size of the area behind it) and the page's
/// Japanese code. The current page can be downloaded and shown with the keyword in red and the
/// area in blue, and both can be picked by selecting in that view; offsets are counted in bytes
/// of the page as the checker converts it, whatever the view counts.
class CCKOption : public SheetPage {
    Q_OBJECT
public:
    explicit CCKOption(QWidget* parent = nullptr);
    ~CCKOption() override;

    void loadItem(CDefineSheet* sheet, WatchSettings* item) override;
    bool onOK() override;

    /// A viewer range, start and end position.
    struct Range {
        int start = 0;
        int end = 0;
        bool empty() const { return end <= start; }
    };

    bool downloading() const;
    const SourceText& source() const { return m_source; }
    Range keywordRange() const { return m_keywordRange; }
    Range areaRange() const { return m_areaRange; }
    QPlainTextEdit* sourceView() const { return m_view; }

    /// Downloads the page and shows it (also the button "現在のソースコードを表示する").
    void showSource();
    /// "ソース中から選択" beside the keyword and beside the area.
    void pickKeyword();
    void pickArea();

protected:
    void showItem() override;
    void hideEvent(QHideEvent* event) override;

private:
    enum class Scroll { Keyword, Area };

    void startShowSource(Scroll scroll);
    void downloadFinished(const FetchRequest& request, PageDownload& download, bool cancelled);
    void setSourceText(std::string page);
    void stopDownload();

    bool markKeyword();
    void markArea();
    void mark(Range range, const QColor& color);
    void unmark(Range& range);
    void scrollToLineOf(int position);
    /// The keyword box as code page 932, nothing when 932 cannot hold it.
    std::optional<std::string> keywordBytes() const;
    int occurrence() const;
    /// Writes `text` into a box whose change notification is to be swallowed once.
    void writeQuietly(QLineEdit* box, bool& suppress, const QString& text);

    void keywordChanged();
    void occurrenceChanged();
    void offsetChanged();
    void sizeChanged();
    void codeChanged(int index);

    std::string dataFolder() const;
    CodeConverter* converter();

    QLineEdit* m_keyword;
    QLineEdit* m_occurrence;
    CNumEdit* m_offset;
    CNumEdit* m_size;
    QComboBox* m_code;
    QPushButton* m_pickKeyword;
    QPushButton* m_pickArea;
    QPushButton* m_show;
    QPushButton* m_cancel;
    QPlainTextEdit* m_view;
    SourceDownload* m_download;
    std::unique_ptr<CodeConverter> m_ownConverter;

    SourceText m_source;
    Range m_keywordRange;
    Range m_areaRange;
    Scroll m_scroll = Scroll::Keyword;
    bool m_suppressOccurrence = false;
    bool m_suppressOffset = false;
    bool m_suppressSize = false;
};

} // namespace tw::gui
