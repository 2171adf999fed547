#pragma once

#include "gui/editor/pages/SourcePreview.h"
#include "gui/editor/sheet/SheetPage.h"

#include <memory>
#include <optional>
#include <string>

class QLineEdit;
class QPlainTextEdit;
class QTimer;

namespace Ui {
class CCKOption;
}

namespace tw::gui {

/// "チェックオプション": which part of the page is compared from one check to the next (an
/// anchor keyword, its occurrence, the offset and size of the area behind it) and the page's
/// Japanese code. Its source view (SourcePreview) downloads the current page and shows it with
/// the keyword in red and the area in blue, and both can be picked by selecting there; the page
/// decides when the view downloads and marks, and writes what is picked into its boxes. What
/// is typed into a box takes effect once typing pauses, so that a word typed letter by letter
/// costs one download and at most one message.
class CCKOption : public SheetPage {
    Q_OBJECT
public:
    using Range = SourcePreview::Range;

    /// How long typing in the boxes must pause before the page acts on it.
    static constexpr int kSettleMs = 600;

    explicit CCKOption(QWidget* parent = nullptr);
    ~CCKOption() override;

    void loadItem(CDefineSheet* sheet, WatchSettings* item) override;
    void onSetActive() override;
    bool onKillActive() override;
    bool onOK() override;

    /// The pause that settles typing (tests).
    void setSettleDelay(int ms);
    /// A change of the boxes waits for typing to pause.
    bool settling() const;

    bool downloading() const { return m_preview->downloading(); }
    const SourceText& source() const { return m_preview->source(); }
    Range keywordRange() const { return m_preview->keywordRange(); }
    Range areaRange() const { return m_preview->areaRange(); }
    QPlainTextEdit* sourceView() const { return m_preview->view(); }

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
    /// What a change of the boxes waiting for the pause does then; a later one includes the
    /// earlier ones.
    enum class Pending { None, Area, Source };

    /// A box changed: act once typing pauses.
    void changed(Pending what);
    /// Acts on the change that waits, now.
    void settle();
    void showArea();
    void startShowSource(Scroll scroll);
    void sourceShown();
    void downloadingChanged(bool downloading);
    bool markKeyword();
    void markArea();
    int occurrence() const;
    /// Writes `text` into a box whose change notification is to be swallowed once.
    void writeQuietly(QLineEdit* box, bool& suppress, const QString& text);

    void keywordChanged();
    void occurrenceChanged();
    void offsetChanged();
    void sizeChanged();
    void codeChanged(int index);

    std::unique_ptr<Ui::CCKOption> m_ui;
    SourcePreview* m_preview;
    QTimer* m_settle;
    Pending m_pending = Pending::None;
    Scroll m_scroll = Scroll::Keyword;
    bool m_suppressOccurrence = false;
    bool m_suppressOffset = false;
    bool m_suppressSize = false;
};

} // namespace tw::gui
